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
#include "serial_link.h"

namespace {

int FdOf(PortHandle handle) {
    return static_cast<int>(handle.value);
}

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
    const std::string where = "Configuring '" + m_strPort + "': ";
    speed_t speed = 0;
    tcflag_t charSize = 0;
    if (!SpeedCode(m_dwBaudRate, speed)) {
        SetError(PortErrorKind::BadSetting,
                 where + std::to_string(m_dwBaudRate) + " bit/s is not a speed this system knows");
        return false;
    }
    if (!CharSizeFlag(m_byByteSize, charSize)) {
        SetError(PortErrorKind::BadSetting,
                 where + std::to_string(m_byByteSize) + " data bits are not possible");
        return false;
    }
    if (m_byParity > 2 || (m_byStopBits != 0 && m_byStopBits != 2)) {
        SetError(PortErrorKind::BadSetting,
                 where + "parity code " + std::to_string(m_byParity) + " with stop-bits code " +
                     std::to_string(m_byStopBits) + " is not possible on this system");
        return false;
    }

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        const int error = errno;
        SetError(PortErrorKind::BadSetting, where + OsText(error));
        return false;
    }
    // Raw bytes both ways: no line editing, echo, signals or character translation.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= charSize | CREAD | CLOCAL;
    if (m_byParity != 0) {
        tio.c_cflag |= PARENB;
        tio.c_iflag |= INPCK;
        if (m_byParity == 1) {
            tio.c_cflag |= PARODD;
        }
    }
    if (m_byStopBits == 2) {
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
        const int error = errno;
        SetError(PortErrorKind::BadSetting, where + OsText(error));
        return false;
    }
    // tcsetattr succeeds when any one setting took; the speed is the one that matters.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != speed) {
        SetError(PortErrorKind::BadSetting,
                 where + "the driver refused " + std::to_string(m_dwBaudRate) + " bit/s");
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

namespace {
using WriteClock = std::chrono::steady_clock;

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
}  // namespace

std::size_t CSerialLink::LocalWrite(const std::uint8_t* bytes, std::size_t length,
                                    PortHandle handle, int timeoutMs) {
    const std::lock_guard<std::mutex> writing(m_writeMutex);
    const std::string where = "Writing to '" + m_strPort + "': ";
    const auto opening = m_platform->Find(FdOf(handle));
    if (!opening) {
        SetError(PortErrorKind::Other, where + "the port is not open");
        return 0;
    }
    // Another thread may close the port while this write waits for room, and the next opening
    // may get the same descriptor number: never write, wait or drain through that number.
    const OwnDescriptor own(FdOf(handle));
    const int fd = own.Get();
    if (fd < 0) {
        const int error = errno;
        SetError(PortErrorKind::Other, where + OsText(error));
        return 0;
    }
    std::optional<WriteClock::time_point> deadline;
    if (timeoutMs >= 0) {
        deadline = WriteClock::now() + std::chrono::milliseconds(timeoutMs);
    }
    const auto held = [&](std::size_t wentOut) {
        // What the line held back must not go out later, when nobody expects it.
        (void)::tcflush(fd, TCOFLUSH);
        SetError(PortErrorKind::Held, where + "the line held the output back for " +
                                          std::to_string(timeoutMs) +
                                          " ms (XOFF from the far end?)");
        return wentOut;
    };
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = 0;
        int error = 0;
        {
            const std::lock_guard<std::mutex> gate(opening->writeGate);
            if (opening->closed) {
                SetError(PortErrorKind::Other, where + "the port was closed during the write");
                return done;
            }
            n = ::write(fd, bytes + done, length - done);
            error = n < 0 ? errno : EAGAIN;
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) {
            SetError(error == EIO ? PortErrorKind::Vanished : PortErrorKind::Other,
                     where + OsText(error));
            return done;
        }
        if (MsLeft(deadline) == 0) {
            int queued = 0;
            (void)::ioctl(fd, TIOCOUTQ, &queued);
            return held(done - std::min(done, static_cast<std::size_t>(std::max(queued, 0))));
        }
        // Output is full (or held by XOFF). Look again now and then, so that a Close from
        // another thread ends the write instead of leaving it blocked for ever.
        const int left = MsLeft(deadline);
        pollfd out{fd, POLLOUT, 0};
        const int ready = ::poll(&out, 1, left < 0 ? 200 : std::min(left, 200));
        if (ready > 0 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            SetError(PortErrorKind::Vanished, where + "the port went away");
            return done;
        }
    }
    // The caller may change the speed next: the bytes must be on the line first.
    const int queued = DrainOutput(fd, deadline);
    if (queued < 0) {
        const int error = errno;
        SetError(error == EIO ? PortErrorKind::Vanished : PortErrorKind::Other,
                 where + OsText(error));
        return 0;
    }
    if (queued > 0) {
        return held(done - std::min(done, static_cast<std::size_t>(queued)));
    }
    return done;
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
