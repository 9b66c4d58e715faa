// What the POSIX port object (serial_link_posix.cpp) needs of the terminal beyond CSerialLink's
// own methods: error texts, the line settings in termios terms, one opening's wake-up, and the
// output queue's drain with a time limit.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "serial_link.h"

namespace tty {

std::string OsText(int error);
PortErrorKind OpenErrorKind(int error);

// Raw bytes both ways at `baudRate` with the data bits, parity (0 none, 1 odd, 2 even) and stop
// bits (0 one, 2 two) asked for, XON/XOFF in both directions, reads that never block; the
// settings the driver then holds are checked for the speed. Empty, or what failed.
std::string SetRawLine(int fd, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                       std::uint8_t stopBits);

// USB serial drivers hold short replies back for up to their latency timer (16 ms on FTDI
// adapters); asking for low latency, as serial libraries do, lets each answer through at once.
// Drivers that cannot (a pty, most UARTs) refuse, and the port works as before.
void AskForLowLatency(int fd);

// One opening of the port: its wake-up (CancelWait and Close write a byte, WaitForInput polls the
// read end) and whether it was closed. Shared so that a thread still using it keeps it alive
// after Close.
struct Opening {
    int readFd = -1;
    int writeFd = -1;
    // Held around every write to the port and by Close while it marks the opening closed, so
    // that no byte of this opening goes out once Close has begun.
    std::mutex writeGate;
    bool closed = false;
    // The terminal's settings before this opening, given back at Close: a terminal used as the
    // port must not be left raw, at another speed.
    termios saved{};
    bool hasSaved = false;

    Opening() = default;
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;
    ~Opening() {
        if (readFd >= 0) {
            ::close(readFd);
        }
        if (writeFd >= 0) {
            ::close(writeFd);
        }
    }

    void Signal() const {
        const char byte = 1;
        // A full pipe already holds a pending wake-up, so a failed write loses nothing.
        (void)!::write(writeFd, &byte, 1);
    }

    void Drain() const {
        char bytes[64];
        while (::read(readFd, bytes, sizeof bytes) > 0) {
        }
    }
};

// The wake-up pipe of a new opening; nothing, with errno, when it cannot be made.
std::shared_ptr<Opening> MakeOpening();

// A descriptor of its own for the duration of one call: the caller's number may be closed and
// handed to a later opening meanwhile, this one still names the file it was made from.
class OwnDescriptor {
  public:
    explicit OwnDescriptor(int fd) : m_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0)) {}
    ~OwnDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    OwnDescriptor(const OwnDescriptor&) = delete;
    OwnDescriptor& operator=(const OwnDescriptor&) = delete;
    int Get() const { return m_fd; }

  private:
    int m_fd;
};

using WriteClock = std::chrono::steady_clock;

// When a write with a time limit of `timeoutMs` (negative: none) must have gone out.
std::optional<WriteClock::time_point> WriteDeadline(int timeoutMs);

// Milliseconds left before `deadline`; -1 (no limit) when there is none.
int MsLeft(const std::optional<WriteClock::time_point>& deadline);

// Waits until the output queue has gone onto the line, or the deadline passes; the bytes still
// queued then (0 when drained), or -1 with errno on failure.
int DrainOutput(int fd, const std::optional<WriteClock::time_point>& deadline);

// Waits for room in the output queue, at most 200 ms or what is left (-1: no limit), so that a
// Close from another thread ends a write instead of leaving it blocked for ever. False when the
// port went away.
bool WaitForRoom(int fd, int msLeft);

// How a write through a terminal ended: the bytes that went onto the line, and why it stopped.
struct TermWrite {
    enum class End { Whole, Closed, Vanished, Failed, Held };
    std::size_t bytes = 0;
    End end = End::Whole;
    int error = 0;  // errno, with Failed
};

// Writes the bytes and waits until they are on the line (the caller may change the speed next),
// unless the opening is closed meanwhile, the port fails, or (with a non-negative `timeoutMs`)
// the line holds the output back past the time limit: what it held is then discarded, so that
// it cannot go out later when nobody expects it.
TermWrite WriteAll(int fd, Opening& opening, const std::uint8_t* bytes, std::size_t length,
                   int timeoutMs);

}  // namespace tty
