// Windows: the usual priority of a serial I/O thread, one step above the window thread's.
#include <windows.h>

#include "thread_priority.h"

void RaiseLineThreadPriority() {
    // A failure leaves the thread at the normal priority, where it works too.
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}
