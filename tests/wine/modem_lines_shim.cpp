// Test-only LD_PRELOAD library for running the Windows programs under Wine against a
// pseudo-terminal. A pty has no modem lines, so TIOCMGET fails there, and Wine's WaitCommEvent
// then fails with error 995 before it looks at received characters. This answers TIOCMGET on a
// pty slave as a cabled port with the far end ready would (CTS, DSR and carrier up) and passes
// every other call to the real ioctl. With PTZ_PTY_WRITE_LOG set, it also notes the size of
// every write to a pty slave in that file, one line each, so a test can count the writes a
// frame took.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

// Device majors of Unix98 pty slaves (/dev/pts/N).
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

bool IsPtySlave(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    const unsigned deviceMajor = major(info.st_rdev);
    return deviceMajor >= kFirstPtySlaveMajor && deviceMajor <= kLastPtySlaveMajor;
}

using WriteFunction = ssize_t (*)(int, const void*, size_t);

WriteFunction RealWrite() {
    return reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
}

void NoteWrite(ssize_t written) {
    const char* path = std::getenv("PTZ_PTY_WRITE_LOG");  // NOLINT(concurrency-mt-unsafe)
    const WriteFunction real = RealWrite();
    if (path == nullptr || real == nullptr || written <= 0) {
        return;
    }
    const int log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        return;
    }
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%zd\n", written);
    (void)real(log, line, static_cast<size_t>(length));
    close(log);
}

IoctlFunction RealIoctl() {
    // Looked up on every call: cheap next to a system call, and free of static-init order.
    return reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);

    if (request == TIOCMGET && IsPtySlave(fd)) {
        *static_cast<int*>(argument) = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        return 0;
    }
    const IoctlFunction real = RealIoctl();
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, argument);
}

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
    const WriteFunction real = RealWrite();
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (std::getenv("PTZ_PTY_WRITE_LOG") == nullptr) {  // NOLINT(concurrency-mt-unsafe)
        return real(fd, bytes, count);
    }
    const int savedErrno = errno;
    const bool pty = IsPtySlave(fd);
    errno = savedErrno;
    const ssize_t written = real(fd, bytes, count);
    if (pty) {
        const int error = errno;
        NoteWrite(written);
        errno = error;
    }
    return written;
}
