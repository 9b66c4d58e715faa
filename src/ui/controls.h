// Control members of a dialog, bound to their controls by id: thin handles over the window, so
// that the handlers read as operations on named controls.
#pragma once

#include <cstdint>
#include <string>

#include "dialog_window.h"

class CControl {
  public:
    // Binds the member to control `id` of `window` (the dialog's data exchange).
    void Attach(IDialogWindow& window, int id) {
        m_window = &window;
        m_id = id;
    }
    void EnableWindow(bool enable) { m_window->EnableItem(m_id, enable); }
    void ShowWindow(bool show) { m_window->ShowItem(m_id, show); }
    void SetWindowText(const std::string& text) { m_window->SetItemText(m_id, text); }
    std::string GetWindowText() { return m_window->GetItemText(m_id); }
    int Id() const { return m_id; }

  protected:
    IDialogWindow* m_window = nullptr;
    int m_id = 0;
};

class CButton : public CControl {};
class CEdit : public CControl {};

class CComboBox : public CControl {
  public:
    void InsertString(int index, const std::string& text) {
        m_window->InsertListItem(m_id, index, text);
    }
    void SetCurSel(int index) { m_window->SetListSelection(m_id, index); }
    int GetCurSel() { return m_window->GetListSelection(m_id); }
    std::string GetLBText(int index) { return m_window->GetListText(m_id, index); }
};

class CProgressCtrl : public CControl {
  public:
    void SetRange32(std::int32_t low, std::int32_t high) {
        m_window->SetProgressRange(m_id, low, high);
    }
    void SetPos(std::int32_t position) { m_window->SetProgressPos(m_id, position); }
};
