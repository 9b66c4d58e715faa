// What an upgrade session needs from a serial line and from time, so that the whole dialog with a
// head can run against a scripted line and a fake clock as well as against a real port.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial_link.h"

enum class LineReadResult {
    Data,      // at least one byte was stored
    TimedOut,  // nothing arrived within the time limit
    Failed,    // the port is unusable (closed, vanished, line error)
};

class IUpgradeLine {
  public:
    virtual ~IUpgradeLine() = default;
    // Opens the port at `baudRate`, 8N1, with XON/XOFF flow control when `xonXoff`; false with
    // LastError() telling why.
    virtual bool Open(std::int32_t baudRate, bool xonXoff) = 0;
    // Writes every byte before it returns (they are on their way to the line); false on failure.
    virtual bool Write(const std::uint8_t* bytes, std::size_t length) = 0;
    // Waits up to timeoutMs (0: only what is already waiting) and stores what arrived.
    virtual LineReadResult Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                                std::size_t& received) = 0;
    virtual void Close() = 0;
    virtual PortError LastError() const = 0;
};

class IUpgradeClock {
  public:
    virtual ~IUpgradeClock() = default;
    // Milliseconds on a steady clock with an arbitrary origin.
    virtual std::int64_t NowMs() = 0;
    virtual void SleepMs(int ms) = 0;
};
