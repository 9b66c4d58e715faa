// The control records of a headless dialog and the window operations on them.
#include "headless_window.h"

#include <mutex>

CHeadlessDesktop::Window::Window(CHeadlessDesktop& desktop, CDialog& dialog, Window* owner)
    : m_desktop(desktop), m_dialog(dialog), m_owner(owner), m_dialogId(dialog.TemplateId()) {
    if (const DialogTemplate* found = ProgramResources().FindDialog(m_dialogId)) {
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

template <class Change>
void CHeadlessDesktop::Window::Update(int controlId, Change change) {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    if (HeadlessControl* record = Find(controlId)) {
        change(*record);
        m_desktop.Changed();
        return;
    }
    m_desktop.m_unknownControls.push_back(controlId);
}

const HeadlessControl* CHeadlessDesktop::Window::Find(int controlId) const {
    for (const auto& [id, record] : m_controls) {
        if (id == controlId) {
            return &record;
        }
    }
    return nullptr;
}

HeadlessControl* CHeadlessDesktop::Window::Find(int controlId) {
    return const_cast<HeadlessControl*>(static_cast<const Window*>(this)->Find(controlId));
}

// ---- IWindowSurface

void CHeadlessDesktop::Window::SetItemText(int controlId, const std::string& text) {
    Update(controlId, [&](HeadlessControl& c) { c.text = text; });
}

void CHeadlessDesktop::Window::EnableItem(int controlId, bool enable) {
    Update(controlId, [&](HeadlessControl& c) { c.enabled = enable; });
}

void CHeadlessDesktop::Window::ShowItem(int controlId, bool show) {
    Update(controlId, [&](HeadlessControl& c) { c.visible = show; });
}

void CHeadlessDesktop::Window::SetProgressRange(int controlId, std::int32_t low,
                                                std::int32_t high) {
    Update(controlId, [&](HeadlessControl& c) {
        c.rangeLow = low;
        c.rangeHigh = high;
    });
}

void CHeadlessDesktop::Window::SetProgressPos(int controlId, std::int32_t position) {
    Update(controlId, [&](HeadlessControl& c) { c.position = position; });
}

void CHeadlessDesktop::Window::SetTaskbarProgress(TaskbarProgress state, std::int64_t done,
                                                  std::int64_t total) {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    m_taskbar.state = state;
    m_taskbar.done = done;
    m_taskbar.total = total;
    ++m_taskbar.updates;
    m_desktop.Changed();
}

void CHeadlessDesktop::Window::InsertListItem(int controlId, int index, const std::string& text) {
    Update(controlId, [&](HeadlessControl& c) {
        const auto at = index < 0 || static_cast<std::size_t>(index) > c.items.size()
                            ? c.items.end()
                            : c.items.begin() + index;
        c.items.insert(at, text);
    });
}

void CHeadlessDesktop::Window::SetListSelection(int controlId, int index) {
    Update(controlId, [&](HeadlessControl& c) {
        const bool valid = index >= 0 && static_cast<std::size_t>(index) < c.items.size();
        c.selection = valid ? index : -1;
        c.text = valid ? c.items[static_cast<std::size_t>(index)] : "";
    });
}

int CHeadlessDesktop::Window::GetListSelection(int controlId) {
    int selection = -1;
    Update(controlId, [&](HeadlessControl& c) { selection = c.selection; });
    return selection;
}

std::string CHeadlessDesktop::Window::GetListText(int controlId, int index) {
    std::string text;
    Update(controlId, [&](HeadlessControl& c) {
        if (index >= 0 && static_cast<std::size_t>(index) < c.items.size()) {
            text = c.items[static_cast<std::size_t>(index)];
        }
    });
    return text;
}

int CHeadlessDesktop::Window::MessageBox(const std::string& text, const std::string& caption,
                                         unsigned style) {
    HeadlessPrompt prompt;
    prompt.kind = HeadlessPrompt::Kind::MessageBox;
    prompt.text = text;
    prompt.caption = caption;
    prompt.style = style;
    prompt.ownerDialogId = m_dialogId;
    return m_desktop.RunPrompt(prompt).button;
}

bool CHeadlessDesktop::Window::Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    return m_desktop.Enqueue(this, message, wParam, lParam);
}

std::intptr_t CHeadlessDesktop::Window::Send(unsigned message, std::uintptr_t wParam,
                                             std::intptr_t lParam) {
    return m_desktop.SendTo(this, message, wParam, lParam);
}

// ---- IDialogWindow

std::string CHeadlessDesktop::Window::GetItemText(int controlId) {
    std::string text;
    Update(controlId, [&](HeadlessControl& c) { text = c.text; });
    return text;
}

void CHeadlessDesktop::Window::EndDialog(int result) {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    m_ended = true;
    m_result = result;
    m_desktop.Changed();
}

std::intptr_t CHeadlessDesktop::Window::SendToOwner(unsigned message, std::uintptr_t wParam,
                                                    std::intptr_t lParam) {
    return m_owner != nullptr ? m_owner->Send(message, wParam, lParam) : 0;
}

std::optional<std::string> CHeadlessDesktop::Window::ChooseFileToOpen(const std::string& filter) {
    HeadlessPrompt prompt;
    prompt.kind = HeadlessPrompt::Kind::FileDialog;
    prompt.text = filter;
    prompt.ownerDialogId = m_dialogId;
    return m_desktop.RunPrompt(prompt).path;
}

bool CHeadlessDesktop::Window::AppendSystemMenuEntry(unsigned /*commandId*/,
                                                     const std::string& text) {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    m_systemMenu.emplace_back();  // the separator
    m_systemMenu.push_back(text);
    m_desktop.Changed();
    return true;
}

void CHeadlessDesktop::Window::SetWindowIcon(IconHandle icon) {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    m_icon = icon;
}

bool CHeadlessDesktop::Window::IsMinimized() {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    return m_minimized;
}

void CHeadlessDesktop::Window::PaintIconCentred(IconHandle icon) {
    const std::lock_guard<std::mutex> lock(m_desktop.m_mutex);
    if (icon != 0) {
        ++m_iconPaints;
    }
    m_desktop.Changed();
}
