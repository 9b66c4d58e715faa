// The operator's side of the headless desktop: what a test reads of the windows and what it
// does to them (clicks, typing, keys, the close box), from any thread.
#include <chrono>
#include <mutex>

#include "headless_window.h"
#include "window_messages.h"

CHeadlessDesktop::Window* CHeadlessDesktop::Newest(int dialogId) const {
    for (auto it = m_windows.rbegin(); it != m_windows.rend(); ++it) {
        if ((*it)->m_alive && (*it)->m_dialogId == dialogId) {
            return it->get();
        }
    }
    return nullptr;
}

bool CHeadlessDesktop::IsOpen(int dialogId) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return Newest(dialogId) != nullptr;
}

std::optional<HeadlessControl> CHeadlessDesktop::Control(int dialogId, int controlId) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Window* window = Newest(dialogId);
    const HeadlessControl* control = window != nullptr ? window->Find(controlId) : nullptr;
    if (control == nullptr) {
        return std::nullopt;
    }
    return *control;
}

std::string CHeadlessDesktop::Text(int dialogId, int controlId) const {
    const auto control = Control(dialogId, controlId);
    return control ? control->text : std::string();
}

bool CHeadlessDesktop::Enabled(int dialogId, int controlId) const {
    const auto control = Control(dialogId, controlId);
    return control && control->enabled;
}

bool CHeadlessDesktop::Visible(int dialogId, int controlId) const {
    const auto control = Control(dialogId, controlId);
    return control && control->visible;
}

bool CHeadlessDesktop::PostCommand(int dialogId, int controlId, unsigned notification) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Window* window = Newest(dialogId);
    if (window == nullptr || window->m_ended) {
        return false;
    }
    m_queue.push_back(
        Queued{window, win::kWmCommand, win::CommandParam(controlId, notification), 0, nullptr});
    Changed();
    return true;
}

bool CHeadlessDesktop::Click(int dialogId, int controlId) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const Window* window = Newest(dialogId);
        const HeadlessControl* control = window != nullptr ? window->Find(controlId) : nullptr;
        if (control == nullptr || !control->enabled || !control->visible) {
            return false;
        }
    }
    return PostCommand(dialogId, controlId, win::kBnClicked);
}

bool CHeadlessDesktop::SelectListItem(int dialogId, int controlId, int index) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        Window* window = Newest(dialogId);
        HeadlessControl* control = window != nullptr ? window->Find(controlId) : nullptr;
        if (control == nullptr || !control->enabled || index < 0 ||
            static_cast<std::size_t>(index) >= control->items.size()) {
            return false;
        }
        control->selection = index;
        control->text = control->items[static_cast<std::size_t>(index)];
        Changed();
    }
    return PostCommand(dialogId, controlId, win::kCbnSelChange);
}

bool CHeadlessDesktop::TypeText(int dialogId, int controlId, const std::string& text) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Window* window = Newest(dialogId);
    HeadlessControl* control = window != nullptr ? window->Find(controlId) : nullptr;
    if (control == nullptr || !control->enabled) {
        return false;
    }
    control->text = text;
    if (control->kind == ControlKind::ComboBox) {
        control->selection = -1;
    }
    Changed();
    return true;
}

bool CHeadlessDesktop::PressEnter(int dialogId) {
    return PostCommand(dialogId, win::kIdOk, win::kBnClicked);
}

bool CHeadlessDesktop::PressEscape(int dialogId) {
    return PostCommand(dialogId, win::kIdCancel, win::kBnClicked);
}

bool CHeadlessDesktop::PressCloseBox(int dialogId) {
    return PostTo(dialogId, win::kWmClose, 0, 0);
}

bool CHeadlessDesktop::PostTo(int dialogId, unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
    Window* window = nullptr;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        window = Newest(dialogId);
    }
    return window != nullptr && Enqueue(window, message, wParam, lParam);
}

std::vector<int> CHeadlessDesktop::UnknownControls() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_unknownControls;
}

std::vector<std::string> CHeadlessDesktop::SystemMenu(int dialogId) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Window* window = Newest(dialogId);
    return window != nullptr ? window->m_systemMenu : std::vector<std::string>{};
}

bool CHeadlessDesktop::Minimize(int dialogId, bool minimized) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        Window* window = Newest(dialogId);
        if (window == nullptr) {
            return false;
        }
        window->m_minimized = minimized;
    }
    return PostTo(dialogId, win::kWmPaint, 0, 0);
}

int CHeadlessDesktop::IconPaints(int dialogId) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Window* window = Newest(dialogId);
    return window != nullptr ? window->m_iconPaints : 0;
}

HeadlessTaskbar CHeadlessDesktop::Taskbar(int dialogId) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const Window* window = Newest(dialogId);
    return window != nullptr ? window->m_taskbar : HeadlessTaskbar{};
}

bool CHeadlessDesktop::CloseEverything(int timeoutMs) {
    constexpr int kStepMs = 100;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    HoldMessages(false);  // an operator closing the window finds it at work again
    while (!WaitForExit(0) && std::chrono::steady_clock::now() < deadline) {
        if (const auto prompt = OpenPrompt()) {
            if (prompt->kind == HeadlessPrompt::Kind::FileDialog) {
                (void)AnswerFileDialog(std::nullopt);
            } else {
                (void)AnswerMessageBox((prompt->style & win::kMbYesNo) != 0 ? win::kIdYes
                                                                            : win::kIdOk);
            }
        } else {
            Window* newest = nullptr;
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                for (auto it = m_windows.rbegin(); it != m_windows.rend() && !newest; ++it) {
                    if ((*it)->m_alive && !(*it)->m_ended) {
                        newest = it->get();
                    }
                }
            }
            if (newest != nullptr) {
                (void)Enqueue(newest, win::kWmClose, 0, 0);
            }
        }
        (void)WaitForExit(kStepMs);
    }
    return WaitForExit(0);
}
