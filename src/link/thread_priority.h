// The priority of the threads that keep the line busy (the receive worker, the transfer
// worker): above the ordinary, so that a busy machine does not hold the answer of a head or the
// next frame back for long.
#pragma once

// Raises the calling thread's priority where the system allows it; does nothing elsewhere.
void RaiseLineThreadPriority();
