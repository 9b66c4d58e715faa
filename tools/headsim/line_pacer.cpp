#include "line_pacer.h"

#include <algorithm>

namespace {
// Bytes that may be taken at once after a pause: enough to cover a late wake-up, few enough
// that a burst is not read faster than the line could carry it.
constexpr std::int64_t kBurstBytes = 32;
}  // namespace

LinePacer::LinePacer(int baud) {
    if (baud > 0) {
        m_byteTime = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(10)) / baud;
    }
}

std::size_t LinePacer::Allowance(Clock::time_point now, std::size_t wanted) const {
    if (m_byteTime.count() == 0) {
        return wanted;
    }
    if (now < m_next) {
        return 0;
    }
    const std::int64_t due = 1 + (now - m_next) / m_byteTime;
    return std::min(wanted, static_cast<std::size_t>(std::min(due, kBurstBytes)));
}

LinePacer::Clock::duration LinePacer::WaitTime(Clock::time_point now) const {
    if (m_byteTime.count() == 0 || now >= m_next) {
        return Clock::duration::zero();
    }
    return m_next - now;
}

void LinePacer::Consumed(std::size_t count, Clock::time_point now) {
    if (m_byteTime.count() == 0) {
        return;
    }
    // Idle time earns at most a burst's worth of credit.
    m_next = std::max(m_next, now - m_byteTime * (kBurstBytes - 1)) +
             m_byteTime * static_cast<std::int64_t>(count);
}
