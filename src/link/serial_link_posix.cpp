// CSerialLink on POSIX terminals (termios): the same behaviour as the Win32 port object, with a
// non-blocking descriptor, an advisory lock for exclusive use and a wake-up pipe per opening.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "port_identity.h"
#include "posix_terminal.h"
#include "serial_link.h"

using tty::AskForLowLatency;
using tty::MakeOpening;
using tty::OpenErrorKind;
using tty::Opening;
using tty::OsText;
using tty::OwnDescriptor;
using tty::SetRawLine;
using tty::TermWrite;
using tty::WriteAll;

namespace {

int FdOf(PortHandle handle) {
    return static_cast<int>(handle.value);
}

}  // namespace

struct CSerialLink::Platform {
    std::mutex mutex;
    std::map<int, std::shared_ptr<Opening>> openings;  // by descriptor

    std::shared_ptr<Opening> Find(int fd) {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto found = openings.find(fd);
        return found == openings.end() ? nullptr : found->second;
    }
};

CSerialLink::CSerialLink() : m_platform(std::make_unique<Platform>()) {}
CSerialLink::~CSerialLink() = default;

PortHandle CSerialLink::LocalOpen() {
    const std::string where = "Opening '" + m_strPort + "': ";
    const int fd = ::open(m_strPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        SetError(OpenErrorKind(error), where + OsText(error));
        return kInvalidPortHandle;
    }
    // The Win32 port is opened with no sharing. TIOCEXCL refuses later opens except by root;
    // the lock also refuses root, and any other program that locks the port.
    // A bus that holds the port across its closings (port_identity.h) refuses this lock too.
    const int lockError = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (lockError != 0 && !(lockError == EWOULDBLOCK && AdoptHeldPort(m_strPort, PortHandle{fd}))) {
        const int error = lockError;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            SetError(PortErrorKind::Busy,
                     where + "the port is in use by another program (or another opening)");
        } else {
            SetError(OpenErrorKind(error), where + OsText(error));
        }
        return kInvalidPortHandle;
    }
    // Not a terminal (ENOTTY) is reported by SetTimeouts, as the Win32 port object does.
    (void)::ioctl(fd, TIOCEXCL);
    AskForLowLatency(fd);

    auto opening = MakeOpening();
    if (!opening) {
        const int error = errno;
        ReleaseHeldPort(PortHandle{fd});
        ::close(fd);
        SetError(PortErrorKind::Other, where + OsText(error));
        return kInvalidPortHandle;
    }
    opening->hasSaved = ::tcgetattr(fd, &opening->saved) == 0;
    const std::lock_guard<std::mutex> lock(m_platform->mutex);
    m_platform->openings[fd] = std::move(opening);
    return PortHandle{fd};
}

bool CSerialLink::LocalSetTimeouts(std::uint32_t /*readIntervalMs*/, PortHandle handle) {
    // Reads never block here (VMIN/VTIME 0 and a non-blocking descriptor), so there is no
    // interval to set; what remains is refusing anything that is not a terminal.
    if (::isatty(FdOf(handle)) != 1) {
        const int error = errno;
        SetError(PortErrorKind::Other,
                 "Setting up '" + m_strPort + "': not a serial port (" + OsText(error) + ")");
        return false;
    }
    return true;
}

bool CSerialLink::LocalConfigure(PortHandle handle) {
    const int fd = FdOf(handle);
    const std::string failed = SetRawLine(fd, m_dwBaudRate, m_byByteSize, m_byParity, m_byStopBits);
    if (!failed.empty()) {
        SetError(PortErrorKind::BadSetting, "Configuring '" + m_strPort + "': " + failed);
        return false;
    }
    // Bytes from before this opening or speed belong to nobody: drop them both ways.
    (void)::tcflush(fd, TCIOFLUSH);
    return true;
}

bool CSerialLink::LocalSetSoftwareFlowControl(PortHandle handle, bool enabled) {
    const int fd = FdOf(handle);
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        const auto flags = static_cast<tcflag_t>(IXON | IXOFF);
        tio.c_iflag = enabled ? (tio.c_iflag | flags) : (tio.c_iflag & ~flags);
        if (::tcsetattr(fd, TCSANOW, &tio) == 0) {
            return true;
        }
    }
    const int error = errno;
    SetError(PortErrorKind::BadSetting, std::string(enabled ? "Turning on" : "Turning off") +
                                            " XON/XOFF on '" + m_strPort + "': " + OsText(error));
    return false;
}

bool CSerialLink::LocalCreateEvents() {
    // Completion events belong to Win32 overlapped I/O; POSIX descriptors need none.
    return true;
}

void CSerialLink::LocalClose(PortHandle handle) {
    const int fd = FdOf(handle);
    if (fd < 0) {
        return;
    }
    std::shared_ptr<Opening> opening;
    {
        const std::lock_guard<std::mutex> lock(m_platform->mutex);
        const auto found = m_platform->openings.find(fd);
        if (found != m_platform->openings.end()) {
            opening = std::move(found->second);
            m_platform->openings.erase(found);
        }
    }
    if (opening) {
        {
            // Waits for a write in progress; none starts after this.
            const std::lock_guard<std::mutex> gate(opening->writeGate);
            opening->closed = true;
        }
        opening->Signal();
        if (opening->hasSaved) {
            // At once, not after draining: output held by XOFF would never drain.
            (void)::tcsetattr(fd, TCSANOW, &opening->saved);
        }
    }
    // Exclusive mode outlives this descriptor while another one (a pty's master side, for
    // example) keeps the terminal open, so leave it explicitly.
    (void)::ioctl(fd, TIOCNXCL);
    (void)::flock(fd, LOCK_UN);
    ReleaseHeldPort(PortHandle{fd});
    ::close(fd);
}

std::size_t CSerialLink::LocalWrite(const std::uint8_t* bytes, std::size_t length,
                                    PortHandle handle, int timeoutMs) {
    // Write holds the link's write lock around this.
    const std::string where = "Writing to '" + m_strPort + "': ";
    const auto opening = m_platform->Find(FdOf(handle));
    if (!opening) {
        SetError(PortErrorKind::Other, where + "the port is not open");
        return 0;
    }
    // Another thread may close the port while this write waits for room, and the next opening
    // may get the same descriptor number: never write, wait or drain through that number.
    const OwnDescriptor own(FdOf(handle));
    if (own.Get() < 0) {
        const int error = errno;
        SetError(PortErrorKind::Other, where + OsText(error));
        return 0;
    }
    const TermWrite written = WriteAll(own.Get(), *opening, bytes, length, timeoutMs);
    switch (written.end) {
        case TermWrite::End::Whole:
            break;
        case TermWrite::End::Closed:
            SetError(PortErrorKind::Other, where + "the port was closed during the write");
            break;
        case TermWrite::End::Vanished:
            SetError(PortErrorKind::Vanished, where + "the port went away");
            break;
        case TermWrite::End::Failed:
            SetError(written.error == EIO ? PortErrorKind::Vanished : PortErrorKind::Other,
                     where + OsText(written.error));
            break;
        case TermWrite::End::Held:
            SetError(PortErrorKind::Held, where + "the line held the output back for " +
                                              std::to_string(timeoutMs) +
                                              " ms (XOFF from the far end?)");
            break;
    }
    return written.bytes;
}

std::size_t CSerialLink::LocalRead(std::uint8_t* buffer, std::size_t capacity, PortHandle handle) {
    const long waiting = LocalQueuedInput(handle);
    if (waiting <= 0) {
        return 0;
    }
    const std::size_t n = std::min({static_cast<std::size_t>(waiting), kMaxChunk, capacity});
    std::memset(buffer, 0, n);
    if (n == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t got = ::read(FdOf(handle), buffer, n);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        const int error = got < 0 ? errno : EIO;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return 0;
        }
        SetError(error == EIO ? PortErrorKind::Vanished : PortErrorKind::Other,
                 "Reading from '" + m_strPort + "': " + OsText(error));
        return 0;
    }
}

long CSerialLink::LocalQueuedInput(PortHandle handle) {
    const int fd = FdOf(handle);
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0) {
        const int error = errno;
        SetError(error == EIO ? PortErrorKind::Vanished : PortErrorKind::Other,
                 "Reading from '" + m_strPort + "': " + OsText(error));
        return -1;
    }
    if (waiting > 0) {
        return waiting;
    }
    // An empty queue on a port that has hung up stays empty: report the port, not "nothing".
    pollfd in{fd, POLLIN, 0};
    if (::poll(&in, 1, 0) > 0 && (in.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        SetError(PortErrorKind::Vanished, "Reading from '" + m_strPort + "': the port went away");
        return -1;
    }
    return 0;
}

PortWaitResult CSerialLink::LocalWaitForInput(PortHandle handle, int timeoutMs) {
    const int fd = FdOf(handle);
    const auto opening = m_platform->Find(fd);
    if (!opening) {
        SetError(PortErrorKind::Other, "Waiting on '" + m_strPort + "': the port is not open");
        return PortWaitResult::Failed;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int remaining = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            remaining = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {opening->readFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, remaining);
        if (ready < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            SetError(PortErrorKind::Other, "Waiting on '" + m_strPort + "': " + OsText(error));
            return PortWaitResult::Failed;
        }
        if (ready == 0) {
            return PortWaitResult::TimedOut;
        }
        if (fds[1].revents != 0) {
            // A cancel stays pending until a wait sees it, so one given just before the wait
            // began is not lost.
            opening->Drain();
            return PortWaitResult::Cancelled;
        }
        // A port that hung up may still hold bytes received before: those come first.
        const bool broken = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        int waiting = 0;
        if (!broken || (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0)) {
            return PortWaitResult::DataArrived;
        }
        SetError(PortErrorKind::Vanished, "Waiting on '" + m_strPort + "': the port went away");
        return PortWaitResult::Failed;
    }
}

void CSerialLink::LocalCancelWait(PortHandle handle) {
    if (const auto opening = m_platform->Find(FdOf(handle))) {
        opening->Signal();
    }
}

void CSerialLink::LocalForgetCancel(PortHandle handle) {
    if (const auto opening = m_platform->Find(FdOf(handle))) {
        opening->Drain();
    }
}
