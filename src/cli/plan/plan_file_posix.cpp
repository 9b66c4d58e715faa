// Plan and report files on POSIX systems: opened without blocking and checked with fstat before
// a byte is read, written with O_APPEND and one write(2) per line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "plan_file.h"

namespace {

std::string SystemText(int error) {
    return std::generic_category().message(error);
}

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

}  // namespace

CPlanFile::~CPlanFile() {
    if (m_handle >= 0) {
        ::close(Fd(m_handle));
    }
}

bool CPlanFile::Open(const std::string& path, Mode mode, std::string& reason) {
    const int flags = mode == Mode::Read ? O_RDONLY : O_RDWR | O_APPEND | O_CREAT;
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer (regular files ignore it).
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        reason = SystemText(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        reason = kNotRegularFile;
        return false;
    }
    m_handle = fd;
    return true;
}

bool CPlanFile::ReadAll(std::size_t maxBytes, std::string& text, std::string& reason) {
    text.clear();
    if (::lseek(Fd(m_handle), 0, SEEK_SET) != 0) {
        reason = SystemText(errno);
        return false;
    }
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t got = ::read(Fd(m_handle), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = SystemText(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        text.append(chunk.data(), static_cast<std::size_t>(got));
        if (text.size() > maxBytes) {
            reason.clear();
            return false;
        }
    }
}

bool CPlanFile::Truncate(std::uint64_t size, std::string& reason) {
    if (::ftruncate(Fd(m_handle), static_cast<off_t>(size)) != 0) {
        reason = SystemText(errno);
        return false;
    }
    return true;
}

bool CPlanFile::Append(const std::string& bytes, std::size_t& written, std::string& reason) {
    ssize_t wrote = -1;
    do {
        wrote = ::write(Fd(m_handle), bytes.data(), bytes.size());
    } while (wrote < 0 && errno == EINTR);
    written = wrote < 0 ? 0 : static_cast<std::size_t>(wrote);
    reason = wrote < 0 ? SystemText(errno) : std::string();
    return written == bytes.size();
}
