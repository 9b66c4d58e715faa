#include "go_ahead.h"

void CGoAhead::Release() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
    }
    m_wake.notify_all();
}

bool CGoAhead::Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [this] { return m_released || m_cancelled; });
    if (m_cancelled) {
        return false;
    }
    m_released = false;
    return true;
}

void CGoAhead::Cancel() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_wake.notify_all();
}
