// Test-only LD_PRELOAD library for running the Windows programs under Wine against a
// pseudo-terminal. A pty has no modem lines, so TIOCMGET fails there, and Wine's WaitCommEvent
// then fails with error 995 before it looks at received characters. This answers TIOCMGET on a
// pty slave as a cabled port with the far end ready would (CTS, DSR and carrier up) and passes
// every other call to the real ioctl.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>

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
