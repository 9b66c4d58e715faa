// Runs the program's dialogs as real Win32 dialogs: one dialog procedure for all of them, which
// forwards every message to the dialog's message table and keeps exceptions out of the system.
#include "surface_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <exception>
#include <string_view>
#include <vector>

#include "system_error_text.h"
#include "ui_texts.h"
#include "utf16_text.h"

namespace {

// The long-path limit of the system: a chosen file is never cut short.
constexpr std::size_t kPathCapacity = 32768;

HICON ToIcon(IconHandle icon) {
    return reinterpret_cast<HICON>(icon);  // NOLINT(performance-no-int-to-ptr)
}

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return text;
}

// As dialogs usually open: over the middle of the owner, or of the screen, and never off it.
void CentreOverOwner(HWND window) {
    HWND owner = GetWindow(window, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : window, MONITOR_DEFAULTTONEAREST),
                    &monitor);
    const RECT area = monitor.rcWork;
    RECT around = area;
    if (owner != nullptr && IsWindowVisible(owner) != FALSE && IsIconic(owner) == FALSE) {
        GetWindowRect(owner, &around);
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    LONG x = around.left + (around.right - around.left - width) / 2;
    LONG y = around.top + (around.bottom - around.top - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
        case WM_CHARTOITEM:
        case WM_COMPAREITEM:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_INITDIALOG:
        case WM_QUERYDRAGICON:
        case WM_VKEYTOITEM:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---- backend

void CWin32DialogBackend::NoteMainWindowCaption(const std::wstring& caption) {
    if (m_applicationTitle.empty()) {
        m_applicationTitle = caption;
    }
}

int CWin32DialogBackend::RunModal(CDialog& dialog, CDialog* owner) {
    HWND ownerWindow = nullptr;
    if (owner != nullptr && owner->HasWindow()) {
        if (auto* ownerSurface = dynamic_cast<CWin32DialogWindow*>(&owner->Window())) {
            ownerWindow = ownerSurface->Handle();
        }
    }
    CWin32DialogWindow window(*this, dialog);
    const INT_PTR result =
        DialogBoxParamW(m_module, MAKEINTRESOURCEW(dialog.TemplateId()), ownerWindow,
                        &CWin32DialogWindow::DialogProc, reinterpret_cast<LPARAM>(&window));
    if (result == -1 && !window.WasInitialised()) {
        const std::wstring message = Utf8ToWide(
            text::WindowCreateFailed(dialog.TemplateId(), SystemErrorText(GetLastError())));
        ::MessageBoxW(ownerWindow, message.c_str(),
                      m_applicationTitle.empty() ? L"PtzUpgrade" : m_applicationTitle.c_str(),
                      MB_OK | MB_ICONERROR);
    }
    return static_cast<int>(result);
}

IconHandle CWin32DialogBackend::LoadAppIcon(int iconId) {
    return reinterpret_cast<IconHandle>(LoadIconW(m_module, MAKEINTRESOURCEW(iconId)));
}

std::string CWin32DialogBackend::LoadResourceString(int stringId) {
    // With a length of 0 the system hands out the resource's own read-only text.
    const wchar_t* text = nullptr;
    const int length =
        LoadStringW(m_module, static_cast<UINT>(stringId), reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return {};
    }
    return WideToUtf8(std::wstring_view(text, static_cast<std::size_t>(length)));
}

// ---- the dialog procedure

INT_PTR CALLBACK CWin32DialogWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    auto* self = reinterpret_cast<CWin32DialogWindow*>(  // NOLINT(performance-no-int-to-ptr)
        message == WM_INITDIALOG ? lParam : GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        // Messages before WM_INITDIALOG, and after WM_DESTROY: the system's handling.
        return FALSE;
    }
    // An exception must not unwind through the system's code.
    try {
        switch (message) {
            case WM_INITDIALOG:
                return self->OnInitDialog(window);
            case WM_DESTROY:
                self->OnDestroy();
                return FALSE;
            default:
                return self->OnMessage(message, wParam, lParam);
        }
    } catch (const std::exception& error) {
        self->Fail(error.what());
    } catch (...) {
        self->Fail("unknown error");
    }
    return TRUE;
}

INT_PTR CWin32DialogWindow::OnInitDialog(HWND window) {
    m_window = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
    // The first dialog the program runs is its main window.
    m_backend.NoteMainWindowCaption(WindowText(window));
    RECT before{};
    GetWindowRect(window, &before);
    const bool focusDefault = m_dialog.HandleInitDialog(*this);
    RECT after{};
    GetWindowRect(window, &after);
    if (EqualRect(&before, &after) != FALSE) {
        CentreOverOwner(window);
    }
    return focusDefault ? TRUE : FALSE;
}

INT_PTR CWin32DialogWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    std::intptr_t result = 0;
    if (!m_dialog.HandleMessage(message, wParam, lParam, result)) {
        return FALSE;
    }
    if (ReturnsResultDirectly(message)) {
        return static_cast<INT_PTR>(result);
    }
    SetWindowLongPtrW(m_window, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
    return TRUE;
}

void CWin32DialogWindow::OnDestroy() {
    // Nothing reaches the dialog once it has been told the window is going.
    SetWindowLongPtrW(m_window, DWLP_USER, 0);
    std::exception_ptr failure;
    try {
        m_dialog.HandleDestroy();
    } catch (...) {
        failure = std::current_exception();
    }
    m_taskbarButton.Release();
    // Posted messages still queued die with the window; some carry heap data (a received chunk)
    // that only the dialog knows how to free. PM_QS_POSTMESSAGE: a WM_PAINT would come back for
    // ever.
    MSG queued{};
    while (PeekMessageW(&queued, m_window, 0, 0, PM_REMOVE | PM_QS_POSTMESSAGE) != FALSE) {
        if (queued.hwnd == m_window) {
            m_dialog.DiscardPosted(queued.message, queued.wParam, queued.lParam);
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void CWin32DialogWindow::Fail(const std::string& what) {
    if (m_failing) {
        ::EndDialog(m_window, -1);
        return;
    }
    m_failing = true;
    const std::wstring message = Utf8ToWide(text::InternalError(what));
    ::MessageBoxW(IsWindow(m_window) != FALSE ? m_window : nullptr, message.c_str(),
                  m_backend.ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
    ::EndDialog(m_window, -1);
}

// ---- IWindowSurface

void CWin32DialogWindow::SetItemText(int controlId, const std::string& text) {
    SetDlgItemTextW(m_window, controlId, Utf8ToWide(text).c_str());
}

void CWin32DialogWindow::EnableItem(int controlId, bool enable) {
    EnableWindow(GetDlgItem(m_window, controlId), enable ? TRUE : FALSE);
}

void CWin32DialogWindow::ShowItem(int controlId, bool show) {
    ShowWindow(GetDlgItem(m_window, controlId), show ? SW_SHOW : SW_HIDE);
}

void CWin32DialogWindow::SetProgressRange(int controlId, std::int32_t low, std::int32_t high) {
    SendDlgItemMessageW(m_window, controlId, PBM_SETRANGE32, static_cast<WPARAM>(low),
                        static_cast<LPARAM>(high));
}

void CWin32DialogWindow::SetProgressPos(int controlId, std::int32_t position) {
    SendDlgItemMessageW(m_window, controlId, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CWin32DialogWindow::SetTaskbarProgress(TaskbarProgress state, std::int64_t done,
                                            std::int64_t total) {
    m_taskbarButton.Show(m_window, state, done, total);
}

void CWin32DialogWindow::InsertListItem(int controlId, int index, const std::string& text) {
    const std::wstring wide = Utf8ToWide(text);
    SendDlgItemMessageW(m_window, controlId, CB_INSERTSTRING, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(wide.c_str()));
}

void CWin32DialogWindow::SetListSelection(int controlId, int index) {
    SendDlgItemMessageW(m_window, controlId, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int CWin32DialogWindow::GetListSelection(int controlId) {
    return static_cast<int>(SendDlgItemMessageW(m_window, controlId, CB_GETCURSEL, 0, 0));
}

std::string CWin32DialogWindow::GetListText(int controlId, int index) {
    const LRESULT length =
        SendDlgItemMessageW(m_window, controlId, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied =
        SendDlgItemMessageW(m_window, controlId, CB_GETLBTEXT, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(text.data()));
    if (copied == CB_ERR || copied < 0) {
        return {};
    }
    text.resize(static_cast<std::size_t>(copied));
    return WideToUtf8(text);
}

int CWin32DialogWindow::MessageBox(const std::string& text, const std::string& caption,
                                   unsigned style) {
    const std::wstring wideText = Utf8ToWide(text);
    const std::wstring wideCaption =
        caption.empty() ? m_backend.ApplicationTitle() : Utf8ToWide(caption);
    return ::MessageBoxW(m_window, wideText.c_str(), wideCaption.c_str(), style);
}

bool CWin32DialogWindow::Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostMessageW(m_window, message, wParam, lParam) != FALSE;
}

std::intptr_t CWin32DialogWindow::Send(unsigned message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
    return SendMessageW(m_window, message, wParam, lParam);
}

// ---- IDialogWindow

std::string CWin32DialogWindow::GetItemText(int controlId) {
    HWND item = GetDlgItem(m_window, controlId);
    return item == nullptr ? std::string() : WideToUtf8(WindowText(item));
}

void CWin32DialogWindow::EndDialog(int result) {
    ::EndDialog(m_window, result);
}

std::intptr_t CWin32DialogWindow::SendToOwner(unsigned message, std::uintptr_t wParam,
                                              std::intptr_t lParam) {
    HWND owner = GetWindow(m_window, GW_OWNER);
    return owner == nullptr ? 0 : SendMessageW(owner, message, wParam, lParam);
}

std::optional<std::string> CWin32DialogWindow::ChooseFileToOpen(const std::string& filter) {
    // "Name|pattern|" pairs become the system's "Name\0pattern\0" list, closed by one more NUL.
    std::wstring filterList = Utf8ToWide(filter);
    std::replace(filterList.begin(), filterList.end(), L'|', L'\0');
    filterList.push_back(L'\0');

    std::vector<wchar_t> path(kPathCapacity, L'\0');
    OPENFILENAMEW request{};
    request.lStructSize = sizeof(request);
    request.hwndOwner = m_window;
    request.lpstrFilter = filterList.c_str();
    request.nFilterIndex = 1;
    request.lpstrFile = path.data();
    request.nMaxFile = static_cast<DWORD>(path.size());
    request.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&request) == FALSE) {
        const DWORD error = CommDlgExtendedError();
        if (error != 0) {
            const std::wstring message = Utf8ToWide(text::FileDialogFailed(error));
            ::MessageBoxW(m_window, message.c_str(), m_backend.ApplicationTitle().c_str(),
                          MB_OK | MB_ICONEXCLAMATION);
        }
        return std::nullopt;
    }
    return WideToUtf8(path.data());
}

bool CWin32DialogWindow::AppendSystemMenuEntry(unsigned commandId, const std::string& text) {
    HMENU menu = GetSystemMenu(m_window, FALSE);
    if (menu == nullptr) {
        return false;
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, commandId, Utf8ToWide(text).c_str());
    return true;
}

void CWin32DialogWindow::SetWindowIcon(IconHandle icon) {
    SendMessageW(m_window, WM_SETICON, ICON_BIG, icon);
    SendMessageW(m_window, WM_SETICON, ICON_SMALL, icon);
}

bool CWin32DialogWindow::IsMinimized() {
    return IsIconic(m_window) != FALSE;
}

void CWin32DialogWindow::PaintIconCentred(IconHandle icon) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(m_window, &paint);
    SendMessageW(m_window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client{};
    GetClientRect(m_window, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, ToIcon(icon));
    EndPaint(m_window, &paint);
}
