#include "head_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "event_log.h"
#include "head_machine.h"
#include "line_pacer.h"
#include "pty_port.h"

namespace {
using Clock = std::chrono::steady_clock;

// After the last answer with --once: how long the loader gets to read it before the pty closes.
constexpr auto kDrainLimit = std::chrono::seconds(2);
constexpr auto kDrainGrace = std::chrono::milliseconds(100);

std::string ErrnoText(int err) {
    return std::generic_category().message(err);
}

timespec ToTimespec(Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}
}  // namespace

struct HeadSimulator::Impl {
    struct Pending {
        Clock::time_point due;
        std::uint64_t order = 0;
        std::vector<std::uint8_t> bytes;
        bool completes = false;
    };
    struct Segment {
        std::vector<std::uint8_t> bytes;
        std::size_t written = 0;
        bool completes = false;
    };

    explicit Impl(HeadSimOptions o) : options(std::move(o)) {}

    void Run();
    void ReadChunk(LinePacer& pacer, Clock::time_point now, bool& vanished);
    void QueueDue(Clock::time_point now);
    bool Flush();
    void Publish();
    void Fail(const std::string& message);
    void LetLoaderReadLastAnswer();

    HeadSimOptions options;
    PtyPort pty;
    EventLog log;
    std::unique_ptr<HeadMachine> machine;
    std::thread thread;
    std::array<int, 2> wake{-1, -1};
    std::atomic<bool> stopRequested{false};
    bool stopped = false;
    Clock::time_point start = Clock::now();

    // Written only by the simulator's thread; what other threads see is published below.
    std::vector<Pending> pending;
    std::deque<Segment> out;
    std::uint64_t nextOrder = 0;
    int completionsSent = 0;
    int lastBaud = -1;
    std::string error;

    mutable std::mutex mutex;
    std::condition_variable changed;
    HeadSimSummary published;
    int publishedCompletions = 0;
    bool running = false;
};

void HeadSimulator::Impl::Publish() {
    std::lock_guard<std::mutex> lock(mutex);
    published = machine->Summary();
    if (!error.empty()) {
        published.error = error;
    }
    publishedCompletions = completionsSent;
    changed.notify_all();
}

void HeadSimulator::Impl::Fail(const std::string& message) {
    error = message;
    log.Write(JsonLine("error").Add("message", message));
}

void HeadSimulator::Impl::QueueDue(Clock::time_point now) {
    std::stable_sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
        return a.due < b.due || (a.due == b.due && a.order < b.order);
    });
    auto firstLater = pending.begin();
    while (firstLater != pending.end() && firstLater->due <= now) {
        out.push_back(Segment{std::move(firstLater->bytes), 0, firstLater->completes});
        ++firstLater;
    }
    pending.erase(pending.begin(), firstLater);
}

bool HeadSimulator::Impl::Flush() {
    while (!out.empty()) {
        Segment& segment = out.front();
        const std::size_t left = segment.bytes.size() - segment.written;
        if (left > 0) {
            const ssize_t n = write(pty.Master(), segment.bytes.data() + segment.written, left);
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
            ++completionsSent;
            Publish();
        }
        out.pop_front();
    }
    return true;
}

void HeadSimulator::Impl::ReadChunk(LinePacer& pacer, Clock::time_point now, bool& vanished) {
    std::array<std::uint8_t, 4096> buffer{};
    const std::size_t allowed = pacer.Allowance(now, buffer.size());
    const ssize_t n = read(pty.Master(), buffer.data(), allowed);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            Fail("Cannot read from the pseudo-terminal: " + ErrnoText(errno) + ".");
        }
        return;
    }
    pacer.Consumed(static_cast<std::size_t>(n), now);
    // The speed the loader had set when these bytes arrived: a pty keeps the setting but does
    // not time the bytes by it, so this is what tells which phase sent them at which speed.
    const int baud = pty.LineBaud();
    if (baud != lastBaud) {
        lastBaud = baud;
        log.Write(JsonLine("speed").Add("baud", baud));
    }
    const std::int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
    std::vector<HeadAnswer> answers;
    std::size_t taken = 0;
    while (taken < static_cast<std::size_t>(n) && !machine->VanishRequested()) {
        machine->Step(buffer[taken], baud, nowMs, answers);
        ++taken;
    }
    machine->EndOfChunk();
    // A two-wire adapter hears its own transmission at once, before the head can answer.
    if (options.echo && taken > 0) {
        pending.push_back(Pending{now, nextOrder++, {buffer.begin(), buffer.begin() + taken}});
    }
    for (HeadAnswer& answer : answers) {
        pending.push_back(Pending{now + std::chrono::milliseconds(options.answerDelayMs),
                                  nextOrder++, std::move(answer.bytes), answer.completes});
    }
    vanished = machine->VanishRequested();
}

void HeadSimulator::Impl::LetLoaderReadLastAnswer() {
    const auto limit = Clock::now() + kDrainLimit;
    while (!stopRequested && pty.UnreadByLoader() > 0 && Clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(kDrainGrace);
}

void HeadSimulator::Impl::Run() {
    LinePacer pacer(options.paceBaud);
    bool vanished = false;
    while (!stopRequested && error.empty()) {
        const auto now = Clock::now();
        QueueDue(now);
        if (!Flush()) {
            break;
        }
        if (options.once && completionsSent > 0 && pending.empty() && out.empty()) {
            LetLoaderReadLastAnswer();
            break;
        }

        bool timed = false;
        Clock::duration wait = Clock::duration::max();
        for (const Pending& p : pending) {
            timed = true;
            wait = std::min(wait, std::max(Clock::duration::zero(), p.due - now));
        }
        const bool paced = pacer.Allowance(now, 1) == 0;
        if (paced) {
            timed = true;
            wait = std::min(wait, pacer.WaitTime(now));
        }
        std::array<pollfd, 2> fds{};
        fds[0] = {wake[0], POLLIN, 0};
        const short masterEvents =
            static_cast<short>((paced ? 0 : POLLIN) | (out.empty() ? 0 : POLLOUT));
        fds[1] = {pty.Master(), masterEvents, 0};
        const timespec ts = ToTimespec(wait);
        const int ready = ppoll(fds.data(), fds.size(), timed ? &ts : nullptr, nullptr);
        if (ready < 0) {
            if (errno != EINTR) {
                Fail("Cannot wait for the pseudo-terminal: " + ErrnoText(errno) + ".");
            }
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::array<char, 16> drain{};
            while (read(wake[0], drain.data(), drain.size()) > 0) {
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            ReadChunk(pacer, Clock::now(), vanished);
            Publish();
            if (vanished) {
                break;
            }
        } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            Fail("The pseudo-terminal hung up.");
        }
    }
    if (vanished) {
        // The port goes away mid-frame, as an unplugged adapter does.
        pty.Close();
    }
    std::lock_guard<std::mutex> lock(mutex);
    published = machine->Summary();
    published.vanished = vanished;
    if (!error.empty()) {
        published.error = error;
    }
    publishedCompletions = completionsSent;
    running = false;
    changed.notify_all();
}

HeadSimulator::HeadSimulator(HeadSimOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

HeadSimulator::~HeadSimulator() {
    Stop();
}

bool HeadSimulator::Start(std::string& error) {
    Impl& s = *m_impl;
    const HeadSimOptions& o = s.options;
    for (const int address : o.moreAddresses) {
        if (address < 1 || address > 255) {
            error = "A head address must be 1 to 255, not " + std::to_string(address) + ".";
            return false;
        }
    }
    if (o.address < 1 || o.address > 255) {
        error = "The head address must be 1 to 255, not " + std::to_string(o.address) + ".";
        return false;
    }
    if (!s.log.Open(o.logPath, error) || !s.pty.Open(error)) {
        return false;
    }
    if (!o.linkPath.empty() && !s.pty.Publish(o.linkPath, error)) {
        s.pty.Close();
        return false;
    }
    if (pipe(s.wake.data()) != 0) {
        error = "Cannot create the simulator's wake-up pipe: " + ErrnoText(errno) + ".";
        s.pty.Close();
        return false;
    }
    fcntl(s.wake[0], F_SETFL, O_NONBLOCK);
    for (const int fd : s.wake) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    s.machine = std::make_unique<HeadMachine>(o, s.log);
    s.start = Clock::now();
    s.log.Write(JsonLine("start")
                    .Add("slave", s.pty.SlavePath())
                    .Add("link", o.linkPath)
                    .Add("address", o.address)
                    .Add("protocol", o.pelcoP ? "pelco-p" : "pelco-d")
                    .Add("speed", o.speed)
                    .Add("mode", o.noCommand ? "upgrade" : "command"));
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.running = true;
    }
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

const std::string& HeadSimulator::SlavePath() const {
    return m_impl->pty.SlavePath();
}

void HeadSimulator::Stop() {
    Impl& s = *m_impl;
    if (s.stopped) {
        return;
    }
    s.stopped = true;
    s.stopRequested = true;
    if (s.wake[1] >= 0) {
        const char byte = 1;
        (void)!write(s.wake[1], &byte, 1);
    }
    if (s.thread.joinable()) {
        s.thread.join();
    }
    if (s.machine) {
        s.machine->SavePartialImage();
        const HeadSimSummary summary = s.machine->Summary();
        s.log.Write(JsonLine("stop")
                        .Add("frames", summary.framesReceived)
                        .Add("upgrades", summary.upgradesCompleted)
                        .Add("bytes", summary.imageBytes));
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.published.error.empty()) {
            s.published.error = summary.error;
        }
    }
    s.pty.Close();
    for (int& fd : s.wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    s.log.Close();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = false;
    s.changed.notify_all();
}

bool HeadSimulator::WaitUntilDone(int timeoutMs) {
    Impl& s = *m_impl;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&s] { return s.publishedCompletions > 0 || !s.running; });
    return s.publishedCompletions > 0;
}

bool HeadSimulator::Running() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->running;
}

HeadSimSummary HeadSimulator::Summary() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->published;
}
