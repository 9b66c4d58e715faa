// Waiting on the headless desktop: for the window thread to end, for a condition, for quiet.
#include <algorithm>
#include <chrono>
#include <mutex>

#include "headless_window.h"

bool CHeadlessDesktop::WaitForExit(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_exited; });
}

bool CHeadlessDesktop::WaitUntil(const std::function<bool()>& condition, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                              std::chrono::milliseconds(10))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return condition();
        }
    }
}

bool CHeadlessDesktop::WaitIdle(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    // Idle also means the window thread has taken every answer and every ended dialog: until
    // it has, it still has work to do although the queue is empty.
    const auto settled = [this] {
        for (const auto& state : m_prompts) {
            if (state->answered) {
                return false;
            }
        }
        for (const auto& window : m_windows) {
            if (window->m_alive && window->m_ended) {
                return false;
            }
        }
        return true;
    };
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return m_exited || (m_queue.empty() && m_waiting > 0 && settled());
    });
}
