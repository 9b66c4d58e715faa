// One simulated bus: its pty, the heads on its line, its log, the answers waiting to leave and
// the pace at which it reads. The simulator's one thread drives every bus through these calls,
// so that one process can serve hundreds of lines; a bus is not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "event_log.h"
#include "head_machine.h"
#include "head_simulator.h"
#include "line_pacer.h"
#include "pty_port.h"

class HeadBus {
  public:
    using Clock = std::chrono::steady_clock;
    // Serving: answering the loader. AwaitingClose (--once): every head is upgraded and the
    // last answer has gone out; the bus waits for the loader to close the port. Ended: nothing
    // more to do (or the bus failed, or vanished on request).
    enum class Phase { Serving, AwaitingClose, Ended };

    explicit HeadBus(HeadSimOptions options);  // the paths in `options` are this bus's own
    ~HeadBus();
    HeadBus(const HeadBus&) = delete;
    HeadBus& operator=(const HeadBus&) = delete;

    // Opens the log and the pty and publishes the link; on failure nothing is left open.
    bool Open(Clock::time_point start, std::string& error);
    // Moves the answers that are due onto the line and writes what the loader can take.
    void Serve(Clock::time_point now);
    // What to poll the pty's master for, and when to look again at the latest.
    short PollEvents(Clock::time_point now) const;
    Clock::time_point WakeAt(Clock::time_point now) const;  // Clock::time_point::max(): never
    // Acts on what poll reported (`revents` 0 when only the time came).
    void Handle(short revents, Clock::time_point now);
    // Ends the bus with `message` as its error (logged).
    void Fail(const std::string& message);
    // Stops the bus (the thread has ended): saves a partial image, logs and closes everything.
    void Stop();

    Phase State() const { return m_phase; }
    int Master() const { return m_pty.Master(); }
    const std::string& SlavePath() const { return m_pty.SlavePath(); }
    bool TakeChanged();  // whether the summary changed since the last call
    HeadSimSummary Summary() const;
    int Completions() const { return m_completionsSent; }

  private:
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

    void ReadChunk(Clock::time_point now);
    bool Flush();
    void Queue(std::vector<std::uint8_t> bytes, Clock::time_point ready, bool completes);

    HeadSimOptions m_options;
    PtyPort m_pty;
    EventLog m_log;
    std::unique_ptr<HeadMachine> m_machine;
    LinePacer m_pacer;
    Clock::time_point m_start{};
    Phase m_phase = Phase::Serving;
    Clock::time_point m_closeDeadline{};

    std::vector<Pending> m_pending;
    std::deque<Segment> m_out;
    std::uint64_t m_nextOrder = 0;
    int m_completionsSent = 0;
    int m_lastBaud = -1;
    bool m_vanished = false;
    bool m_changed = false;
    bool m_stopped = false;
    std::string m_error;
};
