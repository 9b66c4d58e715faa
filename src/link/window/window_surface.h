// Everything the logic does to a window, as one interface, so that the same handlers run on a
// real Win32 dialog or on a headless one in tests. Texts are UTF-8; a backend converts them.
#pragma once

#include <cstdint>
#include <string>

// Message box styles and results, every one the program uses, in one place: the values of the
// Win32 constants, so that portable code needs no platform header.
namespace win {
constexpr unsigned kMbOk = 0x0000U;
constexpr unsigned kMbYesNo = 0x0004U;
constexpr unsigned kMbIconQuestion = 0x0020U;
constexpr unsigned kMbIconExclamation = 0x0030U;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
}  // namespace win

// What the window's taskbar button shows of long work: nothing, progress, or progress that
// stopped on a failure.
enum class TaskbarProgress { None, Normal, Error };

class IWindowSurface {
  public:
    virtual ~IWindowSurface() = default;

    // Text of a control (button label, counter, edit).
    virtual void SetItemText(int controlId, const std::string& text) = 0;
    virtual void EnableItem(int controlId, bool enable) = 0;
    virtual void ShowItem(int controlId, bool show) = 0;

    // Progress bar: range 0..max (PBM_SETRANGE32) and position (PBM_SETPOS).
    virtual void SetProgressRange(int controlId, std::int32_t low, std::int32_t high) = 0;
    virtual void SetProgressPos(int controlId, std::int32_t position) = 0;
    // The taskbar button's progress: `done` of `total` (ignored for None). Silently nothing
    // where the system has no taskbar to show it on.
    virtual void SetTaskbarProgress(TaskbarProgress state, std::int64_t done,
                                    std::int64_t total) = 0;

    // Combo box list: CB_INSERTSTRING, CB_SETCURSEL, CB_GETCURSEL (-1: none), GetLBText.
    virtual void InsertListItem(int controlId, int index, const std::string& text) = 0;
    virtual void SetListSelection(int controlId, int index) = 0;
    virtual int GetListSelection(int controlId) = 0;
    virtual std::string GetListText(int controlId, int index) = 0;

    // Modal message box on the window thread; an empty caption means the application's title.
    // Messages keep being dispatched while it is open. Returns the button pressed (win::kIdOk).
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned style) = 0;

    // Queue a message for the window thread (from any thread); false if it could not be queued.
    virtual bool Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // Deliver a message to the window and wait for its handling to finish.
    virtual std::intptr_t Send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};
