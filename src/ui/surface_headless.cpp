#include "surface_headless.h"

#include <chrono>

#include "../link/control_ids.h"
#include "window_messages.h"

struct Reply {
    bool done = false;
    std::intptr_t result = 0;
};

class CHeadlessDesktop::Window final : public IDialogWindow {
  public:
    Window(CHeadlessDesktop& desktop, CDialog& dialog, Window* owner)
        : m_desktop(desktop), m_dialog(dialog), m_owner(owner), m_dialogId(dialog.TemplateId()) {
        if (const DialogTemplate* found = ProgramResources().FindDialog(m_dialogId)) {
            m_template = found;
            for (const auto& control : found->controls) {
                HeadlessControl record;
                record.kind = control.kind;
                record.text = control.kind == ControlKind::ComboBox ? "" : control.text;
                record.enabled = !control.disabled;
                record.visible = control.visible;
                m_controls.emplace_back(control.id, record);
            }
        }
    }

    // ---- IWindowSurface (window thread) ----
    void SetItemText(int controlId, const std::string& text) override {
        Update(controlId, [&](HeadlessControl& c) { c.text = text; });
    }
    void EnableItem(int controlId, bool enable) override {
        Update(controlId, [&](HeadlessControl& c) { c.enabled = enable; });
    }
    void ShowItem(int controlId, bool show) override {
        Update(controlId, [&](HeadlessControl& c) { c.visible = show; });
    }
    void SetProgressRange(int controlId, std::int32_t low, std::int32_t high) override {
        Update(controlId, [&](HeadlessControl& c) {
            c.rangeLow = low;
            c.rangeHigh = high;
        });
    }
    void SetProgressPos(int controlId, std::int32_t position) override {
        Update(controlId, [&](HeadlessControl& c) { c.position = position; });
    }
    void InsertListItem(int controlId, int index, const std::string& text) override {
        Update(controlId, [&](HeadlessControl& c) {
            const auto at = index < 0 || static_cast<std::size_t>(index) > c.items.size()
                                ? c.items.end()
                                : c.items.begin() + index;
            c.items.insert(at, text);
        });
    }
    void SetListSelection(int controlId, int index) override {
        Update(controlId, [&](HeadlessControl& c) {
            const bool valid = index >= 0 && static_cast<std::size_t>(index) < c.items.size();
            c.selection = valid ? index : -1;
            c.text = valid ? c.items[static_cast<std::size_t>(index)] : "";
        });
    }
    int GetListSelection(int controlId) override {
        int selection = -1;
        Update(controlId, [&](HeadlessControl& c) { selection = c.selection; });
        return selection;
    }
    std::string GetListText(int controlId, int index) override {
        std::string text;
        Update(controlId, [&](HeadlessControl& c) {
            if (index >= 0 && static_cast<std::size_t>(index) < c.items.size()) {
                text = c.items[static_cast<std::size_t>(index)];
            }
        });
        return text;
    }
    int MessageBox(const std::string& text, const std::string& caption, unsigned style) override {
        HeadlessPrompt prompt;
        prompt.kind = HeadlessPrompt::Kind::MessageBox;
        prompt.text = text;
        prompt.caption = caption;
        prompt.style = style;
        prompt.ownerDialogId = m_dialogId;
        return m_desktop.RunPrompt(prompt).button;
    }
    bool Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        return m_desktop.Enqueue(this, message, wParam, lParam);
    }
    std::intptr_t Send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        return m_desktop.SendTo(this, message, wParam, lParam);
    }

    // ---- IDialogWindow (window thread) ----
    std::string GetItemText(int controlId) override {
        std::string text;
        Update(controlId, [&](HeadlessControl& c) { text = c.text; });
        return text;
    }
    void EndDialog(int result) override {
        const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
        m_ended = true;
        m_result = result;
        m_desktop.Changed();
    }
    std::intptr_t SendToOwner(unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam) override {
        return m_owner != nullptr ? m_owner->Send(message, wParam, lParam) : 0;
    }
    std::optional<std::string> ChooseFileToOpen(const std::string& filter) override {
        HeadlessPrompt prompt;
        prompt.kind = HeadlessPrompt::Kind::FileDialog;
        prompt.text = filter;
        prompt.ownerDialogId = m_dialogId;
        return m_desktop.RunPrompt(prompt).path;
    }
    bool AppendSystemMenuEntry(unsigned /*commandId*/, const std::string& text) override {
        const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
        m_systemMenu.emplace_back();  // the separator
        m_systemMenu.push_back(text);
        m_desktop.Changed();
        return true;
    }
    void SetWindowIcon(IconHandle icon) override {
        const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
        m_icon = icon;
    }
    bool IsMinimized() override {
        const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
        return m_minimized;
    }
    void PaintIconCentred(IconHandle icon) override {
        const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
        if (icon != 0) {
            ++m_iconPaints;
        }
        m_desktop.Changed();
    }

    // Runs `change` on the control's record with the desktop's lock held; an id the template
    // does not have is remembered as a fault.
    template <class Change>
    void Update(int controlId, Change change) {
        const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
        for (auto& [id, record] : m_controls) {
            if (id == controlId) {
                change(record);
                m_desktop.Changed();
                return;
            }
        }
        m_desktop.m_unknownControls.push_back(controlId);
    }

    const HeadlessControl* Find(int controlId) const {
        for (const auto& [id, record] : m_controls) {
            if (id == controlId) {
                return &record;
            }
        }
        return nullptr;
    }
    HeadlessControl* Find(int controlId) {
        return const_cast<HeadlessControl*>(static_cast<const Window*>(this)->Find(controlId));
    }

    CHeadlessDesktop& m_desktop;
    CDialog& m_dialog;
    Window* m_owner;
    int m_dialogId;
    const DialogTemplate* m_template = nullptr;
    std::vector<std::pair<int, HeadlessControl>> m_controls;
    std::vector<std::string> m_systemMenu;
    IconHandle m_icon = 0;
    bool m_minimized = false;
    int m_iconPaints = 0;
    bool m_alive = true;
    bool m_ended = false;
    int m_result = 0;
};

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

bool CHeadlessDesktop::WaitForExit(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_exited; });
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
        if (m_queue.empty()) {
            ++m_waiting;
            Changed();
            m_changed.wait(lock, [&] { return !m_queue.empty() || done(); });
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

CHeadlessDesktop::PromptState CHeadlessDesktop::RunPrompt(HeadlessPrompt prompt) {
    PromptState* state = nullptr;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_history.push_back(prompt);
        m_prompts.push_back(std::make_unique<PromptState>());
        state = m_prompts.back().get();
        state->prompt = std::move(prompt);
        Changed();
    }
    // Modal, yet the queue keeps being served, as the platform's modal loops do.
    Pump([state] { return state->answered; });
    const std::lock_guard<std::mutex> lock(m_mutex);
    PromptState answered = *state;
    for (auto it = m_prompts.begin(); it != m_prompts.end(); ++it) {
        if (it->get() == state) {
            m_prompts.erase(it);
            break;
        }
    }
    Changed();
    return answered;
}

// ---- The operator's side ----

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

std::optional<HeadlessPrompt> CHeadlessDesktop::OpenPrompt() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_prompts.rbegin(); it != m_prompts.rend(); ++it) {
        if (!(*it)->answered) {
            return (*it)->prompt;
        }
    }
    return std::nullopt;
}

std::optional<HeadlessPrompt> CHeadlessDesktop::WaitForPrompt(int timeoutMs) {
    std::optional<HeadlessPrompt> found;
    (void)WaitUntil(
        [&] {
            found = OpenPrompt();
            return found.has_value();
        },
        timeoutMs);
    return found;
}

bool CHeadlessDesktop::AnswerMessageBox(int button) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_prompts.rbegin(); it != m_prompts.rend(); ++it) {
        PromptState& state = **it;
        if (!state.answered) {
            if (state.prompt.kind != HeadlessPrompt::Kind::MessageBox) {
                return false;
            }
            state.answered = true;
            state.button = button;
            Changed();
            return true;
        }
    }
    return false;
}

bool CHeadlessDesktop::AnswerFileDialog(std::optional<std::string> path) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_prompts.rbegin(); it != m_prompts.rend(); ++it) {
        PromptState& state = **it;
        if (!state.answered) {
            if (state.prompt.kind != HeadlessPrompt::Kind::FileDialog) {
                return false;
            }
            state.answered = true;
            state.button = path ? win::kIdOk : win::kIdCancel;
            state.path = std::move(path);
            Changed();
            return true;
        }
    }
    return false;
}

std::vector<HeadlessPrompt> CHeadlessDesktop::PromptHistory() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_history;
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

bool CHeadlessDesktop::CloseEverything(int timeoutMs) {
    constexpr int kStepMs = 100;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
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
