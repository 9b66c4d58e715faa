// Ctrl-C and terminal detection on POSIX.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console.h"

namespace {
// A signal handler may only touch lock-free atomics.
std::atomic<bool>* g_stopFlag = nullptr;

extern "C" void OnStopSignal(int /*signal*/) {
    if (g_stopFlag != nullptr) {
        g_stopFlag->store(true);
    }
}
}  // namespace

void InstallStopHandler(std::atomic<bool>& stop) {
    static_assert(std::atomic<bool>::is_always_lock_free, "stop flag set from a signal handler");
    g_stopFlag = &stop;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A report past the file-size limit is a failed write (EFBIG) the run reports, not a
    // signal that kills it in the middle of a head's transfer.
    signal(SIGXFSZ, SIG_IGN);
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        return kDefaultColumns;
    }
    return size.ws_col;
}
