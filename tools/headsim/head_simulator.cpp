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
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "head_bus.h"

namespace {
using Clock = HeadBus::Clock;

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

std::string BusPath(const std::string& path, int bus, int buses) {
    return buses <= 1 || path.empty() ? path : path + std::to_string(bus + 1);
}

struct HeadSimulator::Impl {
    explicit Impl(HeadSimOptions o) : options(std::move(o)) {}

    void Run();
    void Publish(bool all);
    bool WaitOnce(std::vector<pollfd>& fds, std::vector<HeadBus*>& polled);

    HeadSimOptions options;
    std::vector<std::unique_ptr<HeadBus>> buses;
    std::thread thread;
    std::array<int, 2> wake{-1, -1};
    std::atomic<bool> stopRequested{false};
    bool stopped = false;

    // What other threads see, per bus.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<HeadSimSummary> published;
    std::vector<int> publishedCompletions;
    bool running = false;
};

void HeadSimulator::Impl::Publish(bool all) {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    for (std::size_t i = 0; i < buses.size(); ++i) {
        if (buses[i]->TakeChanged() || all) {
            if (!lock.owns_lock()) {
                lock.lock();
            }
            published[i] = buses[i]->Summary();
            publishedCompletions[i] = buses[i]->Completions();
        }
    }
    if (lock.owns_lock()) {
        changed.notify_all();
    }
}

// One wait for every bus still active, and what each is told; false when none is left.
bool HeadSimulator::Impl::WaitOnce(std::vector<pollfd>& fds, std::vector<HeadBus*>& polled) {
    auto now = Clock::now();
    fds.assign(1, pollfd{wake[0], POLLIN, 0});
    polled.clear();
    Clock::time_point wakeAt = Clock::time_point::max();
    for (const auto& bus : buses) {
        if (bus->State() != HeadBus::Phase::Ended) {
            fds.push_back(pollfd{bus->Master(), bus->PollEvents(now), 0});
            polled.push_back(bus.get());
            wakeAt = std::min(wakeAt, bus->WakeAt(now));
        }
    }
    if (polled.empty()) {
        return false;
    }
    const timespec ts = ToTimespec(std::max(Clock::duration::zero(), wakeAt - now));
    const bool timed = wakeAt != Clock::time_point::max();
    if (ppoll(fds.data(), fds.size(), timed ? &ts : nullptr, nullptr) < 0) {
        fds.assign(fds.size(), pollfd{-1, 0, 0});
        if (errno != EINTR) {
            const std::string why =
                "Cannot wait for the pseudo-terminal: " + ErrnoText(errno) + ".";
            for (HeadBus* bus : polled) {
                bus->Fail(why);
            }
        }
        return true;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        std::array<char, 16> drain{};
        while (read(wake[0], drain.data(), drain.size()) > 0) {
        }
    }
    now = Clock::now();
    for (std::size_t i = 0; i < polled.size(); ++i) {
        polled[i]->Handle(fds[i + 1].revents, now);
    }
    // Before any answer to these bytes goes out: whoever has the answer sees the summary.
    Publish(false);
    return true;
}

void HeadSimulator::Impl::Run() {
    std::vector<pollfd> fds;
    std::vector<HeadBus*> polled;
    while (!stopRequested) {
        const auto now = Clock::now();
        for (const auto& bus : buses) {
            bus->Serve(now);
        }
        Publish(false);
        if (!WaitOnce(fds, polled)) {
            break;
        }
    }
    Publish(true);
    std::lock_guard<std::mutex> lock(mutex);
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
    if (o.buses < 1) {
        error = "A simulator serves at least one bus, not " + std::to_string(o.buses) + ".";
        return false;
    }
    if (pipe(s.wake.data()) != 0) {
        error = "Cannot create the simulator's wake-up pipe: " + ErrnoText(errno) + ".";
        return false;
    }
    fcntl(s.wake[0], F_SETFL, O_NONBLOCK);
    for (const int fd : s.wake) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    const auto start = Clock::now();
    for (int b = 0; b < o.buses; ++b) {
        HeadSimOptions busOptions = o;
        busOptions.linkPath = BusPath(o.linkPath, b, o.buses);
        busOptions.logPath = BusPath(o.logPath, b, o.buses);
        busOptions.outPath = BusPath(o.outPath, b, o.buses);
        s.buses.push_back(std::make_unique<HeadBus>(busOptions));
        if (!s.buses.back()->Open(start, error)) {
            if (o.buses > 1) {
                error.insert(0, "Bus " + std::to_string(b + 1) + ": ");
            }
            Stop();
            return false;
        }
    }
    s.published.assign(s.buses.size(), HeadSimSummary{});
    s.publishedCompletions.assign(s.buses.size(), 0);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.running = true;
    }
    s.thread = std::thread([&s] { s.Run(); });
    return true;
}

int HeadSimulator::Buses() const {
    return static_cast<int>(m_impl->buses.size());
}

const std::string& HeadSimulator::SlavePath(int bus) const {
    static const std::string kNone;
    const auto index = static_cast<std::size_t>(bus);
    return index < m_impl->buses.size() ? m_impl->buses[index]->SlavePath() : kNone;
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
    for (const auto& bus : s.buses) {
        bus->Stop();
    }
    for (int& fd : s.wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    for (std::size_t i = 0; i < s.published.size(); ++i) {
        // What stopping found (an image that could not be written) joins the summary.
        const HeadSimSummary last = s.buses[i]->Summary();
        if (s.published[i].error.empty()) {
            s.published[i].error = last.error;
        }
    }
    s.running = false;
    s.changed.notify_all();
}

bool HeadSimulator::WaitUntilDone(int timeoutMs) {
    Impl& s = *m_impl;
    const auto allDone = [&s] {
        return std::all_of(s.publishedCompletions.begin(), s.publishedCompletions.end(),
                           [](int completions) { return completions > 0; });
    };
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return allDone() || !s.running; });
    return !s.publishedCompletions.empty() && allDone();
}

bool HeadSimulator::Running() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->running;
}

HeadSimSummary HeadSimulator::Summary(int bus) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const auto index = static_cast<std::size_t>(bus);
    return index < m_impl->published.size() ? m_impl->published[index] : HeadSimSummary{};
}
