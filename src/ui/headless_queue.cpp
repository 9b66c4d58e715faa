// The headless desktop's window thread: its start and end, the message queue, posting and
// sending, and the modal loop every dialog and prompt runs while it is open.
#include <mutex>

#include "headless_window.h"
#include "window_messages.h"

CHeadlessDesktop::CHeadlessDesktop() = default;

CHeadlessDesktop::~CHeadlessDesktop() {
    if (!m_thread.joinable()) {
        return;
    }
    // A test that failed half-way may leave dialogs and prompts open: close them all, as an
    // operator would, until the window thread has finished.
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds && !WaitForExit(50); ++round) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& state : m_prompts) {
            if (!state->answered) {
                state->answered = true;
                state->button =
                    (state->prompt.style & win::kMbYesNo) != 0 ? win::kIdYes : win::kIdOk;
            }
        }
        for (auto& window : m_windows) {
            if (window->m_alive) {
                window->m_ended = true;
                window->m_result = win::kIdCancel;
            }
        }
        Changed();
    }
    m_thread.join();
}

void CHeadlessDesktop::Launch(std::function<void()> body) {
    m_thread = std::thread([this, run = std::move(body)] {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_windowThreadId = std::this_thread::get_id();
        }
        run();
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_exited = true;
        Changed();
    });
}

bool CHeadlessDesktop::OnWindowThread() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return std::this_thread::get_id() == m_windowThreadId;
}

void CHeadlessDesktop::Changed() {
    m_changed.notify_all();
}

int CHeadlessDesktop::RunModal(CDialog& dialog, CDialog* owner) {
    Window* ownerWindow = nullptr;
    Window* window = nullptr;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& candidate : m_windows) {
            if (owner != nullptr && candidate->m_alive && &candidate->m_dialog == owner) {
                ownerWindow = candidate.get();
            }
        }
        m_windows.push_back(std::make_unique<Window>(*this, dialog, ownerWindow));
        window = m_windows.back().get();
        Changed();
    }
    (void)dialog.HandleInitDialog(*window);
    Pump([window] { return window->m_ended; });
    dialog.HandleDestroy();

    std::vector<Queued> orphans;
    int result = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        window->m_alive = false;
        result = window->m_result;
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->target == window) {
                orphans.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& orphan : orphans) {
            if (orphan.reply != nullptr) {
                orphan.reply->done = true;
            }
        }
        Changed();
    }
    for (const auto& orphan : orphans) {
        if (orphan.reply == nullptr) {
            dialog.DiscardPosted(orphan.message, orphan.wParam, orphan.lParam);
        }
    }
    return result;
}

IconHandle CHeadlessDesktop::LoadAppIcon(int iconId) {
    return iconId;
}

std::string CHeadlessDesktop::LoadResourceString(int stringId) {
    const auto& strings = ProgramResources().strings;
    const auto found = strings.find(stringId);
    return found == strings.end() ? std::string() : found->second;
}

void CHeadlessDesktop::Pump(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (done()) {
            return;
        }
        if (m_queue.empty() || m_held) {
            ++m_waiting;
            Changed();
            m_changed.wait(lock, [&] { return (!m_queue.empty() && !m_held) || done(); });
            --m_waiting;
            continue;
        }
        const Queued item = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        Deliver(item);
        lock.lock();
    }
}

void CHeadlessDesktop::HoldMessages(bool hold) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_held = hold;
    Changed();
}

void CHeadlessDesktop::Deliver(const Queued& item) {
    std::intptr_t result = 0;
    (void)item.target->m_dialog.HandleMessage(item.message, item.wParam, item.lParam, result);
    if (item.reply != nullptr) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        item.reply->result = result;
        item.reply->done = true;
        Changed();
    }
}

bool CHeadlessDesktop::Enqueue(Window* target, unsigned message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!target->m_alive || target->m_ended) {
        return false;
    }
    m_queue.push_back(Queued{target, message, wParam, lParam, nullptr});
    Changed();
    return true;
}

std::intptr_t CHeadlessDesktop::SendTo(Window* target, unsigned message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
    if (OnWindowThread()) {
        std::intptr_t result = 0;
        (void)target->m_dialog.HandleMessage(message, wParam, lParam, result);
        return result;
    }
    Reply reply;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!target->m_alive) {
        return 0;
    }
    m_queue.push_back(Queued{target, message, wParam, lParam, &reply});
    Changed();
    m_changed.wait(lock, [&] { return reply.done; });
    return reply.result;
}
