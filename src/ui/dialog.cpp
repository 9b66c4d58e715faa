#include "dialog.h"

int CDialog::DoModal(IDialogBackend& backend, CDialog* owner) {
    m_backend = &backend;
    return backend.RunModal(*this, owner);
}

bool CDialog::HandleInitDialog(IDialogWindow& window) {
    m_window = &window;
    return OnInitDialog();
}

bool CDialog::HandleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                            std::intptr_t& result) {
    m_wantDefault = false;
    result = 0;
    if (DispatchMessageMap(message, wParam, lParam, result)) {
        return !m_wantDefault;
    }
    if (message == win::kWmCommand && win::CommandNotification(wParam) == win::kBnClicked) {
        // Enter and Esc arrive as clicks of IDOK and IDCANCEL, as in any dialog.
        if (win::CommandId(wParam) == win::kIdOk) {
            OnOK();
            return true;
        }
        if (win::CommandId(wParam) == win::kIdCancel) {
            OnCancel();
            return true;
        }
    }
    if (message == win::kWmClose) {
        OnCancel();
        return true;
    }
    return false;
}

void CDialog::HandleDestroy() {
    OnDestroy();
    m_window = nullptr;
}

void CDialog::EndDialog(int result) {
    if (m_window != nullptr) {
        m_window->EndDialog(result);
    }
}
