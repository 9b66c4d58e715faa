// Prompts of the headless desktop: message boxes and the file dialog, each a modal loop on the
// window thread until a test answers it.
#include <mutex>

#include "headless_window.h"
#include "window_messages.h"

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
