// The headless backend: dialogs run on a window thread of their own with their controls kept
// as records built from the resource script, a message queue, and modal loops (dialogs,
// message boxes, the file dialog) that keep dispatching queued messages until they end. Tests
// act as the operator through the methods below, from any thread.
// Sources: headless_window.cpp (control records), headless_queue.cpp (window thread, queue,
// modal loop), headless_prompts.cpp, headless_operator.cpp, headless_waiting.cpp.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dialog.h"
#include "headless_records.h"

class CHeadlessDesktop final : public IDialogBackend {
  public:
    CHeadlessDesktop();
    // Closes whatever is still open (answering prompts, ending dialogs) and joins the thread.
    ~CHeadlessDesktop() override;
    CHeadlessDesktop(const CHeadlessDesktop&) = delete;
    CHeadlessDesktop& operator=(const CHeadlessDesktop&) = delete;

    // Runs `body` (typically a dialog's DoModal) on the window thread; returns at once.
    void Launch(std::function<void()> body);
    // True once `body` has returned.
    bool WaitForExit(int timeoutMs);

    // IDialogBackend
    int RunModal(CDialog& dialog, CDialog* owner) override;
    IconHandle LoadAppIcon(int iconId) override;
    std::string LoadResourceString(int stringId) override;

    // ---- The operator's side (any thread) ----
    bool IsOpen(int dialogId) const;
    // The newest open window of that dialog; nothing when none is open or it has no such control.
    std::optional<HeadlessControl> Control(int dialogId, int controlId) const;
    std::string Text(int dialogId, int controlId) const;
    bool Enabled(int dialogId, int controlId) const;
    bool Visible(int dialogId, int controlId) const;
    // Clicks a button: false (and nothing happens) when it is disabled, hidden or absent.
    bool Click(int dialogId, int controlId);
    bool SelectListItem(int dialogId, int controlId, int index);
    // Types into an edit, or into a combo box's edit (which leaves its list without selection).
    bool TypeText(int dialogId, int controlId, const std::string& text);
    bool PressEnter(int dialogId);
    bool PressEscape(int dialogId);
    bool PressCloseBox(int dialogId);
    bool PostTo(int dialogId, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    // While held, the window thread takes no message from its queue, as a window thread busy
    // elsewhere on a loaded machine: what is posted meanwhile is handled, in order, once let go.
    void HoldMessages(bool hold);

    // The newest prompt (message box or file dialog) still waiting for an answer.
    std::optional<HeadlessPrompt> WaitForPrompt(int timeoutMs);
    std::optional<HeadlessPrompt> OpenPrompt() const;
    // Answers the newest open message box with a button (IDOK, IDYES, ...).
    bool AnswerMessageBox(int button);
    // Answers the newest open file dialog: a path, or nothing for Cancel.
    bool AnswerFileDialog(std::optional<std::string> path);
    // Every prompt shown so far, in order.
    std::vector<HeadlessPrompt> PromptHistory() const;
    // How many prompts have been shown so far (cheap, for a long run).
    std::size_t PromptCount() const;
    // Control ids the dialogs used that their template does not have (a program fault).
    std::vector<int> UnknownControls() const;
    std::vector<std::string> SystemMenu(int dialogId) const;
    // Minimises (or restores) the newest window of the dialog and asks it to paint.
    bool Minimize(int dialogId, bool minimized);
    int IconPaints(int dialogId) const;
    // What the newest window of the dialog last showed on its taskbar button.
    HeadlessTaskbar Taskbar(int dialogId) const;

    // Closes everything as an operator would, newest first: a message box answered Yes (or OK),
    // a file dialog cancelled, a dialog closed with its close box. True once the window thread
    // has finished within `timeoutMs`.
    bool CloseEverything(int timeoutMs);

    // Waits until `condition` holds (checked whenever the desktop changes, and every 10 ms).
    bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) const;
    // Waits until the queue is empty and the window thread waits for work (or for a prompt).
    bool WaitIdle(int timeoutMs) const;

  private:
    class Window;
    // The answer to a message sent from another thread, filled in on the window thread.
    struct Reply {
        bool done = false;
        std::intptr_t result = 0;
    };
    struct Queued {
        Window* target = nullptr;
        unsigned message = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
        Reply* reply = nullptr;
    };
    struct PromptState {
        HeadlessPrompt prompt;
        bool answered = false;
        int button = 0;
        std::optional<std::string> path;
    };

    friend class Window;
    bool OnWindowThread() const;
    // Dispatches queued messages until `done` (checked with the lock held) is true.
    void Pump(const std::function<bool()>& done);
    void Deliver(const Queued& item);
    bool Enqueue(Window* target, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t SendTo(Window* target, unsigned message, std::uintptr_t wParam,
                         std::intptr_t lParam);
    PromptState RunPrompt(HeadlessPrompt prompt);
    Window* Newest(int dialogId) const;  // lock held
    bool PostCommand(int dialogId, int controlId, unsigned notification);
    void Changed();  // lock held

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Queued> m_queue;
    std::vector<std::unique_ptr<Window>> m_windows;
    std::vector<std::unique_ptr<PromptState>> m_prompts;  // open ones, newest last
    std::vector<HeadlessPrompt> m_history;
    std::vector<int> m_unknownControls;
    int m_waiting = 0;  // pumps of the window thread that wait for work
    bool m_held = false;
    bool m_exited = false;
    std::thread::id m_windowThreadId;
    std::thread m_thread;
};
