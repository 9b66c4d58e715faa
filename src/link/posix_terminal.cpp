#include "posix_terminal.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace tty {

namespace {
bool SpeedCode(std::uint32_t baudRate, speed_t& code) {
    struct Speed {
        std::uint32_t bits;
        speed_t code;
    };
    static constexpr Speed kSpeeds[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    };
    for (const auto& speed : kSpeeds) {
        if (speed.bits == baudRate) {
            code = speed.code;
            return true;
        }
    }
    return false;
}

bool CharSizeFlag(std::uint8_t byteSize, tcflag_t& flag) {
    switch (byteSize) {
        case 5:
            flag = CS5;
            return true;
        case 6:
            flag = CS6;
            return true;
        case 7:
            flag = CS7;
            return true;
        case 8:
            flag = CS8;
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string OsText(int error) {
    return std::generic_category().message(error);
}

PortErrorKind OpenErrorKind(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
            return PortErrorKind::NotFound;
        case EACCES:
        case EPERM:
            return PortErrorKind::PermissionDenied;
        case EBUSY:
        case EWOULDBLOCK:
            return PortErrorKind::Busy;
        default:
            return PortErrorKind::Other;
    }
}

// USB serial drivers hold short replies back for up to their latency timer (16 ms on FTDI
// adapters); asking for low latency, as serial libraries do, lets each answer through at once.
// Drivers that cannot (a pty, most UARTs) refuse, and the port works as before.
void AskForLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &serial);
}

std::shared_ptr<Opening> MakeOpening() {
    int fds[2];
    if (::pipe(fds) != 0) {
        return nullptr;
    }
    auto opening = std::make_shared<Opening>();
    opening->readFd = fds[0];
    opening->writeFd = fds[1];
    for (const int fd : fds) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            return nullptr;
        }
    }
    return opening;
}

// Milliseconds left before `deadline`; -1 (no limit) when there is none.
int MsLeft(const std::optional<WriteClock::time_point>& deadline) {
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - WriteClock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Waits until the output queue has gone onto the line, or the deadline passes; the bytes still
// queued then (0 when drained), or -1 with errno on failure.
int DrainOutput(int fd, const std::optional<WriteClock::time_point>& deadline) {
    if (!deadline) {
        while (::tcdrain(fd) != 0) {
            if (errno != EINTR) {
                return -1;
            }
        }
        return 0;
    }
    // tcdrain has no time limit, and output held by XOFF never drains: look at the queue.
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0) {
            return -1;
        }
        if (queued <= 0 || MsLeft(deadline) == 0) {
            return std::max(queued, 0);
        }
        (void)::poll(nullptr, 0, 1);
    }
}

std::optional<WriteClock::time_point> WriteDeadline(int timeoutMs) {
    if (timeoutMs < 0) {
        return std::nullopt;
    }
    return WriteClock::now() + std::chrono::milliseconds(timeoutMs);
}

bool WaitForRoom(int fd, int msLeft) {
    pollfd out{fd, POLLOUT, 0};
    const int ready = ::poll(&out, 1, msLeft < 0 ? 200 : std::min(msLeft, 200));
    return !(ready > 0 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0);
}

std::string SetRawLine(int fd, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                       std::uint8_t stopBits) {
    speed_t speed = 0;
    tcflag_t charSize = 0;
    if (!SpeedCode(baudRate, speed)) {
        return std::to_string(baudRate) + " bit/s is not a speed this system knows";
    }
    if (!CharSizeFlag(byteSize, charSize)) {
        return std::to_string(byteSize) + " data bits are not possible";
    }
    if (parity > 2 || (stopBits != 0 && stopBits != 2)) {
        return "parity code " + std::to_string(parity) + " with stop-bits code " +
               std::to_string(stopBits) + " is not possible on this system";
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return OsText(errno);
    }
    // Raw bytes both ways: no line editing, echo, signals or character translation.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= charSize | CREAD | CLOCAL;
    if (parity != 0) {
        tio.c_cflag |= PARENB;
        tio.c_iflag |= INPCK;
        if (parity == 1) {
            tio.c_cflag |= PARODD;
        }
    }
    if (stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    // XON/XOFF flow control in both directions.
    tio.c_iflag |= IXON | IXOFF;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return OsText(errno);
    }
    // tcsetattr succeeds when any one setting took; the speed is the one that matters.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != speed) {
        return "the driver refused " + std::to_string(baudRate) + " bit/s";
    }
    return {};
}

TermWrite WriteAll(int fd, Opening& opening, const std::uint8_t* bytes, std::size_t length,
                   int timeoutMs) {
    const auto deadline = WriteDeadline(timeoutMs);
    TermWrite result;
    const auto held = [&](int queued) {
        (void)::tcflush(fd, TCOFLUSH);
        result.bytes -= std::min(result.bytes, static_cast<std::size_t>(std::max(queued, 0)));
        result.end = TermWrite::End::Held;
        return result;
    };
    while (result.bytes < length) {
        ssize_t n = 0;
        int error = 0;
        {
            const std::lock_guard<std::mutex> gate(opening.writeGate);
            if (opening.closed) {
                result.end = TermWrite::End::Closed;
                return result;
            }
            n = ::write(fd, bytes + result.bytes, length - result.bytes);
            error = n < 0 ? errno : EAGAIN;
        }
        if (n > 0) {
            result.bytes += static_cast<std::size_t>(n);
            continue;
        }
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            result.end = TermWrite::End::Failed;
            result.error = error;
            return result;
        }
        if (MsLeft(deadline) == 0) {
            int queued = 0;
            (void)::ioctl(fd, TIOCOUTQ, &queued);
            return held(queued);
        }
        // Output is full (or held by XOFF).
        if (!WaitForRoom(fd, MsLeft(deadline))) {
            result.end = TermWrite::End::Vanished;
            return result;
        }
    }
    const int queued = DrainOutput(fd, deadline);
    if (queued < 0) {
        result = TermWrite{0, TermWrite::End::Failed, errno};
        return result;
    }
    return queued > 0 ? held(queued) : result;
}

}  // namespace tty
