#include "line_pacer.h"

#include <algorithm>

namespace {
// Bytes an idle line may hand over at once: enough to cover a late wake-up, few enough that
// the first bytes after a pause are not read faster than the line could carry them. A busy
// line gets no such limit: what arrived while the reader slept had its time on the wire.
constexpr std::int64_t kBurstBytes = 32;
// Bytes read at once from a busy line: one read per 2.8 ms at 115200 bit/s, so that one thread
// can pace hundreds of lines.
constexpr std::int64_t kBatchBytes = 32;
}  // namespace

LinePacer::LinePacer(int baud) {
    if (baud > 0) {
        m_byteTime = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(10)) / baud;
    }
}

std::size_t LinePacer::Allowance(Clock::time_point now, std::size_t wanted) const {
    if (!Paced()) {
        return wanted;
    }
    if (now < m_next) {
        return 0;
    }
    const std::int64_t due = 1 + (now - m_next) / m_byteTime;
    return std::min(wanted, static_cast<std::size_t>(Busy() ? due : std::min(due, kBurstBytes)));
}

LinePacer::Clock::time_point LinePacer::NextRead() const {
    const auto batch = std::min<std::int64_t>(kBatchBytes, static_cast<std::int64_t>(m_queued));
    return m_next + m_byteTime * std::max<std::int64_t>(batch - 1, 0);
}

void LinePacer::Consumed(std::size_t count, Clock::time_point now, std::size_t queued) {
    if (!Paced()) {
        return;
    }
    // Idle time earns at most a burst's worth of credit.
    const auto from = Busy() ? m_next : std::max(m_next, now - m_byteTime * (kBurstBytes - 1));
    m_next = from + m_byteTime * static_cast<std::int64_t>(count);
    m_queued = queued;
}
