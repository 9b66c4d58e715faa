// Reads no faster than a serial line delivers: baud/10 bytes per second (8N1 carries ten bits
// per byte), so that end-to-end timings against the simulator are those of a real line.
#pragma once

#include <chrono>
#include <cstddef>

class LinePacer {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LinePacer(int baud);  // 0: no pacing

    bool Paced() const { return m_byteTime.count() != 0; }
    // How many bytes may be taken at `now`; 0 means wait.
    std::size_t Allowance(Clock::time_point now, std::size_t wanted) const;
    // When the next read is worth making: the next byte of an idle line, else a batch of the
    // bytes still queued (or all of them, if fewer), so that a busy line is read in pieces.
    Clock::time_point NextRead() const;
    // `queued`: bytes still waiting in the pty after this read; the line was busy between this
    // read and the next one when there were some.
    void Consumed(std::size_t count, Clock::time_point now, std::size_t queued);
    bool Busy() const { return m_queued > 0; }

  private:
    Clock::duration m_byteTime{};
    Clock::time_point m_next{};  // when the line has delivered the next byte
    std::size_t m_queued = 0;    // bytes left in the pty at the last read
};
