// The go-ahead between the window thread and the transfer worker: a binary semaphore, so a
// release given before the worker begins to wait is kept and passes the wait at once.
#pragma once

#include <condition_variable>
#include <mutex>

class CGoAhead {
  public:
    // Lets the waiter continue; kept until it waits. Several releases before one wait count once.
    void Release();
    // Waits for a release (and takes it) or for Cancel. True when released.
    bool Wait();
    // Ends the current and every later wait with false.
    void Cancel();

  private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_released = false;
    bool m_cancelled = false;
};
