#include "head_bus.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

namespace {
using Clock = HeadBus::Clock;

// With --once, how long the loader gets to close the port after the last answer; a loader
// that keeps it longer is not waited for.
constexpr auto kLoaderCloseLimit = std::chrono::seconds(30);
// Paced reads are made on this grid, shared by every bus of the process, so that one wake-up
// serves every bus that is due.
constexpr auto kPaceTick = std::chrono::milliseconds(1);

std::string ErrnoText(int err) {
    return std::generic_category().message(err);
}

// The first point of the grid of `period` from `origin` that is not before `t`.
Clock::time_point GridAtOrAfter(Clock::time_point origin, Clock::duration period,
                                Clock::time_point t) {
    if (t <= origin) {
        return origin;
    }
    const auto periods = (t - origin + period - Clock::duration(1)) / period;
    return origin + period * periods;
}
}  // namespace

HeadBus::HeadBus(HeadSimOptions options)
    : m_options(std::move(options)), m_pacer(m_options.paceBaud) {}

HeadBus::~HeadBus() {
    Stop();
}

bool HeadBus::Open(Clock::time_point start, std::string& error) {
    if (!m_log.Open(m_options.logPath, error) || !m_pty.Open(error)) {
        return false;
    }
    if (!m_options.linkPath.empty() && !m_pty.Publish(m_options.linkPath, error)) {
        m_pty.Close();
        return false;
    }
    m_machine = std::make_unique<HeadMachine>(m_options, m_log);
    m_start = start;
    m_log.Write(JsonLine("start")
                    .Add("slave", m_pty.SlavePath())
                    .Add("link", m_options.linkPath)
                    .Add("address", m_options.address)
                    .Add("protocol", m_options.pelcoP ? "pelco-p" : "pelco-d")
                    .Add("speed", m_options.speed)
                    .Add("mode", m_options.noCommand ? "upgrade" : "command"));
    return true;
}

void HeadBus::Queue(std::vector<std::uint8_t> bytes, Clock::time_point ready, bool completes) {
    Clock::time_point due = ready;
    if (m_options.answerLatencyMs > 0) {
        // The adapter's latency timer runs freely and lets out what it holds at each expiry.
        due = GridAtOrAfter(m_start, std::chrono::milliseconds(m_options.answerLatencyMs), ready);
    }
    m_pending.push_back(Pending{due, m_nextOrder++, std::move(bytes), completes});
}

void HeadBus::Serve(Clock::time_point now) {
    if (m_phase != Phase::Serving) {
        return;
    }
    std::stable_sort(m_pending.begin(), m_pending.end(), [](const Pending& a, const Pending& b) {
        return a.due < b.due || (a.due == b.due && a.order < b.order);
    });
    auto firstLater = m_pending.begin();
    while (firstLater != m_pending.end() && firstLater->due <= now) {
        m_out.push_back(Segment{std::move(firstLater->bytes), 0, firstLater->completes});
        ++firstLater;
    }
    m_pending.erase(m_pending.begin(), firstLater);
    if (!Flush()) {
        return;
    }
    if (m_options.once && m_completionsSent > 0 && m_pending.empty() && m_out.empty()) {
        // The loader may not have read the last answer yet: the pty hangs up only once the
        // loader has closed the port, not before.
        m_pty.CloseSlave();
        m_phase = Phase::AwaitingClose;
        m_closeDeadline = now + kLoaderCloseLimit;
    }
}

bool HeadBus::Flush() {
    while (!m_out.empty()) {
        Segment& segment = m_out.front();
        const std::size_t left = segment.bytes.size() - segment.written;
        if (left > 0) {
            const ssize_t n = write(m_pty.Master(), segment.bytes.data() + segment.written, left);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    return true;  // the loader's input queue is full: wait until it reads
                }
                Fail("Cannot write to the pseudo-terminal: " + ErrnoText(errno) + ".");
                return false;
            }
            segment.written += static_cast<std::size_t>(n);
            if (segment.written < segment.bytes.size()) {
                continue;
            }
        }
        if (segment.completes) {
            ++m_completionsSent;
            m_changed = true;
        }
        m_out.pop_front();
    }
    return true;
}

short HeadBus::PollEvents(Clock::time_point now) const {
    if (m_phase != Phase::Serving) {
        return 0;  // a hang-up is reported whatever is asked for
    }
    short events = m_out.empty() ? 0 : POLLOUT;
    // A busy paced line is read when its time comes, not when bytes arrive.
    if (!m_pacer.Paced() || (!m_pacer.Busy() && m_pacer.Allowance(now, 1) > 0)) {
        events = static_cast<short>(events | POLLIN);
    }
    return events;
}

Clock::time_point HeadBus::WakeAt(Clock::time_point now) const {
    if (m_phase == Phase::Ended) {
        return Clock::time_point::max();
    }
    if (m_phase == Phase::AwaitingClose) {
        return m_closeDeadline;
    }
    Clock::time_point at = Clock::time_point::max();
    for (const Pending& p : m_pending) {
        at = std::min(at, p.due);
    }
    if (m_pacer.Paced() && (m_pacer.Busy() || m_pacer.Allowance(now, 1) == 0)) {
        at = std::min(at, GridAtOrAfter(m_start, kPaceTick, m_pacer.NextRead()));
    }
    return at;
}

void HeadBus::Handle(short revents, Clock::time_point now) {
    const bool hungUp = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (m_phase == Phase::AwaitingClose) {
        if (hungUp || now >= m_closeDeadline) {
            m_phase = Phase::Ended;
            m_changed = true;
        }
        return;
    }
    if (m_phase != Phase::Serving) {
        return;
    }
    const bool due = m_pacer.Paced() && m_pacer.Busy() && now >= m_pacer.NextRead();
    if (due || (revents & POLLIN) != 0) {
        ReadChunk(now);
    } else if (hungUp) {
        Fail("The pseudo-terminal hung up.");
    }
}

void HeadBus::ReadChunk(Clock::time_point now) {
    std::array<std::uint8_t, 4096> buffer{};
    const std::size_t allowed = m_pacer.Allowance(now, buffer.size());
    if (allowed == 0) {
        return;
    }
    const ssize_t n = read(m_pty.Master(), buffer.data(), allowed);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            Fail("Cannot read from the pseudo-terminal: " + ErrnoText(errno) + ".");
        } else {
            m_pacer.Consumed(0, now, 0);  // nothing was waiting after all
        }
        return;
    }
    const auto taken = static_cast<std::size_t>(n);
    const std::size_t queued = m_pacer.Paced() && taken == allowed ? m_pty.QueuedForHead() : 0;
    m_pacer.Consumed(taken, now, queued);
    // The speed the loader had set when these bytes arrived: a pty keeps the setting but does
    // not time the bytes by it, so this is what tells which phase sent them at which speed.
    const int baud = m_pty.LineBaud();
    if (baud != m_lastBaud) {
        m_lastBaud = baud;
        m_log.Write(JsonLine("speed").Add("baud", baud));
    }
    const std::int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
    std::vector<HeadAnswer> answers;
    std::size_t stepped = 0;
    while (stepped < taken && !m_machine->VanishRequested()) {
        m_machine->Step(buffer[stepped], baud, nowMs, answers);
        ++stepped;
    }
    m_machine->EndOfChunk();
    // A two-wire adapter hears its own transmission at once, before the head can answer.
    if (m_options.echo && stepped > 0) {
        Queue({buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(stepped)}, now, false);
    }
    for (HeadAnswer& answer : answers) {
        Queue(std::move(answer.bytes), now + std::chrono::milliseconds(m_options.answerDelayMs),
              answer.completes);
    }
    m_changed = true;
    if (m_machine->VanishRequested()) {
        // The port goes away mid-frame, as an unplugged adapter does.
        m_vanished = true;
        m_pty.Close();
        m_phase = Phase::Ended;
    }
}

void HeadBus::Fail(const std::string& message) {
    m_error = message;
    m_log.Write(JsonLine("error").Add("message", message));
    m_phase = Phase::Ended;
    m_changed = true;
}

bool HeadBus::TakeChanged() {
    return std::exchange(m_changed, false);
}

HeadSimSummary HeadBus::Summary() const {
    HeadSimSummary summary = m_machine ? m_machine->Summary() : HeadSimSummary{};
    if (!m_error.empty()) {
        summary.error = m_error;
    }
    summary.vanished = m_vanished;
    return summary;
}

void HeadBus::Stop() {
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    m_phase = Phase::Ended;
    if (m_machine) {
        m_machine->SavePartialImage();
        const HeadSimSummary summary = m_machine->Summary();
        m_log.Write(JsonLine("stop")
                        .Add("frames", summary.framesReceived)
                        .Add("upgrades", summary.upgradesCompleted)
                        .Add("bytes", summary.imageBytes));
    }
    m_pty.Close();
    m_log.Close();
}
