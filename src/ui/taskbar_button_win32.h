// The progress a window's taskbar button shows (ITaskbarList3), for long work such as a transfer.
#pragma once

#include <windows.h>

#include <cstdint>

#include "window_surface.h"

struct ITaskbarList3;

class CTaskbarButton {
  public:
    CTaskbarButton() = default;
    ~CTaskbarButton();
    CTaskbarButton(const CTaskbarButton&) = delete;
    CTaskbarButton& operator=(const CTaskbarButton&) = delete;

    // Shows `state` and `done` of `total` on the button of `window`. The system's object is made
    // at the first call, when the window and its button exist; where it cannot be (no COM, no
    // taskbar, as under some Wine setups) every call does nothing.
    void Show(HWND window, TaskbarProgress state, std::int64_t done, std::int64_t total);
    // Lets go of the system's object; the window is going.
    void Release();

  private:
    bool Connect();

    ITaskbarList3* m_taskbar = nullptr;
    bool m_tried = false;
    bool m_comInitialised = false;
};
