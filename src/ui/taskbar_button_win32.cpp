#include "taskbar_button_win32.h"

#include <shobjidl.h>

#include <algorithm>

CTaskbarButton::~CTaskbarButton() {
    Release();
}

bool CTaskbarButton::Connect() {
    if (m_tried) {
        return m_taskbar != nullptr;
    }
    m_tried = true;
    // S_FALSE: this thread already had COM; either way one uninitialise is owed. Another model
    // set on this thread leaves COM usable, and owes nothing.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    m_comInitialised = SUCCEEDED(init);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
        return false;
    }
    void* object = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                &object)) ||
        object == nullptr) {
        return false;
    }
    m_taskbar = static_cast<ITaskbarList3*>(object);
    if (FAILED(m_taskbar->HrInit())) {
        Release();
        return false;
    }
    return true;
}

void CTaskbarButton::Show(HWND window, TaskbarProgress state, std::int64_t done,
                          std::int64_t total) {
    if (window == nullptr || !Connect()) {
        return;
    }
    // Failures are not worth a word: the window itself shows the progress.
    switch (state) {
        case TaskbarProgress::None:
            (void)m_taskbar->SetProgressState(window, TBPF_NOPROGRESS);
            return;
        case TaskbarProgress::Normal:
            (void)m_taskbar->SetProgressState(window, TBPF_NORMAL);
            break;
        case TaskbarProgress::Error:
            (void)m_taskbar->SetProgressState(window, TBPF_ERROR);
            break;
    }
    const std::int64_t whole = std::max<std::int64_t>(total, 1);
    const std::int64_t part = std::clamp<std::int64_t>(done, 0, whole);
    (void)m_taskbar->SetProgressValue(window, static_cast<ULONGLONG>(part),
                                      static_cast<ULONGLONG>(whole));
}

void CTaskbarButton::Release() {
    if (m_taskbar != nullptr) {
        m_taskbar->Release();
        m_taskbar = nullptr;
    }
    if (m_comInitialised) {
        CoUninitialize();
        m_comInitialised = false;
    }
}
