// A local port's identity and lock on POSIX systems: the character device a name opens (a
// symlink such as /dev/serial/by-id/... and its target are one device), and flock, which the
// port object also takes, kept on a descriptor of its own while the port is closed.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "port_identity.h"

std::string LocalPortIdentity(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        return "character device " + std::to_string(static_cast<unsigned long long>(info.st_rdev));
    }
    const std::unique_ptr<char, decltype(&::free)> real(::realpath(name.c_str(), nullptr), &::free);
    return real ? std::string(real.get()) : name;
}

bool LockLocalPort(const std::string& name, std::intptr_t& lock, std::string& error) {
    lock = -1;
    // O_NONBLOCK: a modem line must not hold the opening (nor a FIFO named as a port).
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return true;  // the port object's opening says why, in its words
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int refusal = errno;
        ::close(fd);
        if (refusal != EWOULDBLOCK) {
            return true;  // a file system without locks: the port object's own rules stand
        }
        error = "Holding '" + name +
                "' for its heads: the port is in use by another program (or another run)";
        return false;
    }
    lock = fd;
    return true;
}

void UnlockLocalPort(std::intptr_t lock) {
    if (lock >= 0) {
        ::close(static_cast<int>(lock));  // the lock ends with its descriptor
    }
}
