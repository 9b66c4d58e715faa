// On Linux and macOS the scheduler serves threads that wait for I/O well without help, and
// raising a priority needs privileges a technician's account lacks: nothing to do.
#include "thread_priority.h"

void RaiseLineThreadPriority() {}
