#include "pty_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace {
std::string ErrnoText(int err) {
    return std::generic_category().message(err);
}

int BaudOf(speed_t speed) {
    static constexpr std::array<std::pair<speed_t, int>, 31> kSpeeds = {{
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
        {B2500000, 2500000},
        {B3000000, 3000000},
        {B3500000, 3500000},
        {B4000000, 4000000},
    }};
    for (const auto& [code, baud] : kSpeeds) {
        if (code == speed) {
            return baud;
        }
    }
    return 0;
}
}  // namespace

PtyPort::~PtyPort() {
    Close();
}

bool PtyPort::Open(std::string& error) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0) {
        error = "Cannot create a pseudo-terminal: " + ErrnoText(errno) + ".";
        return false;
    }
    // A program hosting the simulator may start others (a loader under test): they must not
    // inherit the pty, or closing it here would not make the port vanish for them.
    (void)fcntl(m_master, F_SETFD, FD_CLOEXEC);
    std::array<char, 128> name{};
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name.data(), name.size()) != 0) {
        error = "Cannot prepare the pseudo-terminal: " + ErrnoText(errno) + ".";
        Close();
        return false;
    }
    m_slavePath = name.data();
    // Held open for the simulator's whole life: the master then never sees a hang-up when the
    // loader closes the port, and the line settings the loader made stay readable.
    m_slave = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        error = "Cannot open the pseudo-terminal " + m_slavePath + ": " + ErrnoText(errno) + ".";
        Close();
        return false;
    }
    termios tio{};
    if (tcgetattr(m_slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_slave, TCSANOW, &tio);
    }
    const int flags = fcntl(m_master, F_GETFL);
    if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = "Cannot make the pseudo-terminal non-blocking: " + ErrnoText(errno) + ".";
        Close();
        return false;
    }
    return true;
}

bool PtyPort::Publish(const std::string& linkPath, std::string& error) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = "'" + linkPath + "' exists and is not a symlink; not replacing it. " +
                "Give --link a new path or remove that file.";
        return false;
    }
    // A new link under a temporary name renamed over the old one: the path never goes missing.
    const std::string temporary = linkPath + ".tmp" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(m_slavePath.c_str(), temporary.c_str()) != 0) {
        error = "Cannot create the link '" + linkPath + "': " + ErrnoText(errno) + ".";
        return false;
    }
    if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
        error = "Cannot create the link '" + linkPath + "': " + ErrnoText(errno) + ".";
        unlink(temporary.c_str());
        return false;
    }
    m_linkPath = linkPath;
    return true;
}

void PtyPort::Close() {
    if (!m_linkPath.empty()) {
        // Another simulator may have taken the path over since: leave its link alone.
        std::array<char, 256> target{};
        const ssize_t n = readlink(m_linkPath.c_str(), target.data(), target.size() - 1);
        if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == m_slavePath) {
            unlink(m_linkPath.c_str());
        }
        m_linkPath.clear();
    }
    CloseSlave();
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

int PtyPort::LineBaud() const {
    termios tio{};
    if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) {
        return 0;
    }
    return BaudOf(cfgetospeed(&tio));
}

std::size_t PtyPort::QueuedForHead() const {
    int count = 0;
    if (m_master < 0 || ioctl(m_master, FIONREAD, &count) != 0 || count < 0) {
        return 0;
    }
    return static_cast<std::size_t>(count);
}

void PtyPort::CloseSlave() {
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
}
