// Reads no faster than a serial line delivers: baud/10 bytes per second (8N1 carries ten bits
// per byte), so that end-to-end timings against the simulator are those of a real line.
#pragma once

#include <chrono>
#include <cstddef>

class LinePacer {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LinePacer(int baud);  // 0: no pacing

    // How many bytes may be taken at `now`; 0 means wait for WaitTime(now).
    std::size_t Allowance(Clock::time_point now, std::size_t wanted) const;
    Clock::duration WaitTime(Clock::time_point now) const;
    void Consumed(std::size_t count, Clock::time_point now);

  private:
    Clock::duration m_byteTime{};
    Clock::time_point m_next{};  // when the line has delivered the next byte
};
