// The Win32 backend of the dialog framework: real dialogs built from the program's resources,
// through the Unicode (W) API only.
#pragma once

#include <windows.h>
// The window surface's MessageBox must keep its name here, as in every other file that sees it;
// this backend calls ::MessageBoxW by name.
#undef MessageBox

#include <string>

#include "dialog.h"
#include "taskbar_button_win32.h"

class CWin32DialogBackend : public IDialogBackend {
  public:
    // `module` holds the dialog templates, the icon and the string table.
    explicit CWin32DialogBackend(HINSTANCE module) : m_module(module) {}

    int RunModal(CDialog& dialog, CDialog* owner) override;
    IconHandle LoadAppIcon(int iconId) override;
    std::string LoadResourceString(int stringId) override;

    // The caption message boxes get when they name none: that of the main window, the first
    // dialog run without an owner.
    const std::wstring& ApplicationTitle() const { return m_applicationTitle; }
    void NoteMainWindowCaption(const std::wstring& caption);

  private:
    HINSTANCE m_module;
    std::wstring m_applicationTitle;
};

// One running dialog's window: the surface its handlers work on.
class CWin32DialogWindow : public IDialogWindow {
  public:
    CWin32DialogWindow(CWin32DialogBackend& backend, CDialog& dialog)
        : m_backend(backend), m_dialog(dialog) {}

    // The dialog procedure every dialog of the program runs on.
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND Handle() const { return m_window; }
    bool WasInitialised() const { return m_window != nullptr; }

    // IWindowSurface
    void SetItemText(int controlId, const std::string& text) override;
    void EnableItem(int controlId, bool enable) override;
    void ShowItem(int controlId, bool show) override;
    void SetProgressRange(int controlId, std::int32_t low, std::int32_t high) override;
    void SetProgressPos(int controlId, std::int32_t position) override;
    void SetTaskbarProgress(TaskbarProgress state, std::int64_t done, std::int64_t total) override;
    void InsertListItem(int controlId, int index, const std::string& text) override;
    void SetListSelection(int controlId, int index) override;
    int GetListSelection(int controlId) override;
    std::string GetListText(int controlId, int index) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned style) override;
    bool Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    std::intptr_t Send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

    // IDialogWindow
    std::string GetItemText(int controlId) override;
    void EndDialog(int result) override;
    std::intptr_t SendToOwner(unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
    std::optional<std::string> ChooseFileToOpen(const std::string& filter) override;
    bool AppendSystemMenuEntry(unsigned commandId, const std::string& text) override;
    void SetWindowIcon(IconHandle icon) override;
    bool IsMinimized() override;
    void PaintIconCentred(IconHandle icon) override;

  private:
    INT_PTR OnInitDialog(HWND window);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnDestroy();
    // An exception reached the window: tell the operator and close this dialog.
    void Fail(const std::string& what);

    CWin32DialogBackend& m_backend;
    CDialog& m_dialog;
    // Set once at WM_INITDIALOG, before any thread the dialog starts can post to it.
    HWND m_window = nullptr;
    // A failure while the failure message is open only closes the dialog.
    bool m_failing = false;
    CTaskbarButton m_taskbarButton;
};
