// One open dialog of the headless desktop: its controls kept as records built from the
// dialog's template, and the window operations its handlers call (on the window thread).
// Private to the headless backend.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "surface_headless.h"

class CHeadlessDesktop::Window final : public IDialogWindow {
  public:
    Window(CHeadlessDesktop& desktop, CDialog& dialog, Window* owner);

    // ---- IWindowSurface (window thread) ----
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

    // ---- IDialogWindow (window thread) ----
    std::string GetItemText(int controlId) override;
    void EndDialog(int result) override;
    std::intptr_t SendToOwner(unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
    std::optional<std::string> ChooseFileToOpen(const std::string& filter) override;
    bool AppendSystemMenuEntry(unsigned commandId, const std::string& text) override;
    void SetWindowIcon(IconHandle icon) override;
    bool IsMinimized() override;
    void PaintIconCentred(IconHandle icon) override;

    // The record of a control; nothing when the template has no such id (lock held).
    const HeadlessControl* Find(int controlId) const;
    HeadlessControl* Find(int controlId);

    // Read and written with the desktop's lock held.
    CHeadlessDesktop& m_desktop;
    CDialog& m_dialog;
    Window* m_owner;
    int m_dialogId;
    std::vector<std::pair<int, HeadlessControl>> m_controls;
    std::vector<std::string> m_systemMenu;
    IconHandle m_icon = 0;
    HeadlessTaskbar m_taskbar;
    bool m_minimized = false;
    int m_iconPaints = 0;
    bool m_alive = true;
    bool m_ended = false;
    int m_result = 0;

  private:
    // Runs `change` on the control's record with the desktop's lock held; an id the template
    // does not have is remembered as a fault.
    template <class Change>
    void Update(int controlId, Change change);
};
