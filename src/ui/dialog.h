// Our small dialog framework: a dialog is a class with a message table that is data
// (message, notification, control id -> member function), dispatched the same way by every
// backend. The backend owns the window; the dialog reaches it only through IDialogWindow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialog_window.h"
#include "window_messages.h"

// One row of a message table. Command rows (WM_COMMAND) name a notification and a control and
// call a handler without arguments; message rows call a handler with the message's parameters.
template <class Dialog>
struct MessageMapEntry {
    unsigned message = 0;
    unsigned notification = 0;
    int controlId = 0;
    void (Dialog::*onCommand)() = nullptr;
    std::intptr_t (Dialog::*onMessage)(std::uintptr_t, std::intptr_t) = nullptr;
};

template <class Dialog>
constexpr MessageMapEntry<Dialog> OnCommand(unsigned notification, int controlId,
                                            void (Dialog::*handler)()) {
    return {win::kWmCommand, notification, controlId, handler, nullptr};
}

template <class Dialog>
constexpr MessageMapEntry<Dialog> OnMessage(unsigned message,
                                            std::intptr_t (Dialog::*handler)(std::uintptr_t,
                                                                             std::intptr_t)) {
    return {message, 0, 0, nullptr, handler};
}

class CDialog {
  public:
    explicit CDialog(int templateId) : m_templateId(templateId) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally, owned by `owner` (nullptr: no owner), and returns the value
    // given to EndDialog.
    int DoModal(IDialogBackend& backend, CDialog* owner = nullptr);
    int TemplateId() const { return m_templateId; }

    // Entry points for backends, called on the dialog's window thread.
    // The window exists and holds its controls: attaches it and runs OnInitDialog.
    bool HandleInitDialog(IDialogWindow& window);
    // Routes a message through the table and the default command handling. False when the
    // platform's default handling should run.
    bool HandleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                       std::intptr_t& result);
    // The window is going away: the dialog's last chance to end its threads.
    void HandleDestroy();
    // A message posted to the window was never handled (the window closed first): free what
    // it carries.
    virtual void DiscardPosted(unsigned /*message*/, std::uintptr_t /*wParam*/,
                               std::intptr_t /*lParam*/) {}

    // The window, while the dialog runs.
    IDialogWindow& Window() { return *m_window; }
    bool HasWindow() const { return m_window != nullptr; }
    IDialogBackend& Backend() { return *m_backend; }

  protected:
    virtual bool OnInitDialog() { return true; }
    // Enter (IDOK) and Esc or the close box (IDCANCEL).
    virtual void OnOK() { EndDialog(win::kIdOk); }
    virtual void OnCancel() { EndDialog(win::kIdCancel); }
    virtual void OnDestroy() {}
    // Looks the message up in the dialog's own table; false when it has no row for it.
    virtual bool DispatchMessageMap(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                    std::intptr_t& result) = 0;

    void EndDialog(int result);
    // Asks for the platform's default handling of the message being handled.
    void Default() { m_wantDefault = true; }

    template <class Dialog, std::size_t N>
    static bool Dispatch(Dialog& dialog, const MessageMapEntry<Dialog> (&table)[N],
                         unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                         std::intptr_t& result) {
        for (const auto& row : table) {
            if (row.message != message) {
                continue;
            }
            if (message == win::kWmCommand) {
                if (row.controlId == win::CommandId(wParam) &&
                    row.notification == win::CommandNotification(wParam)) {
                    (dialog.*row.onCommand)();
                    result = 0;
                    return true;
                }
                continue;
            }
            result = (dialog.*row.onMessage)(wParam, lParam);
            return true;
        }
        return false;
    }

  private:
    int m_templateId;
    IDialogWindow* m_window = nullptr;
    IDialogBackend* m_backend = nullptr;
    bool m_wantDefault = false;
};
