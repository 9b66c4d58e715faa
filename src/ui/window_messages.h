// The Win32 message and notification numbers the portable dialog code uses, so that it needs no
// platform header. The values are the platform's own. (Message box styles and results are with
// the window surface, whose MessageBox takes them.)
#pragma once

#include <cstdint>

#include "window_surface.h"

namespace win {
constexpr unsigned kWmPaint = 0x000FU;
constexpr unsigned kWmClose = 0x0010U;
constexpr unsigned kWmQueryDragIcon = 0x0037U;
constexpr unsigned kWmCommand = 0x0111U;
constexpr unsigned kWmSysCommand = 0x0112U;

constexpr unsigned kBnClicked = 0;
constexpr unsigned kCbnSelChange = 1;

// WM_COMMAND's wParam: control id in the low word, notification in the high word.
constexpr std::uintptr_t CommandParam(int controlId, unsigned notification) {
    return (static_cast<std::uintptr_t>(notification & 0xFFFFU) << 16U) |
           (static_cast<std::uintptr_t>(controlId) & 0xFFFFU);
}
constexpr int CommandId(std::uintptr_t wParam) {
    return static_cast<int>(wParam & 0xFFFFU);
}
constexpr unsigned CommandNotification(std::uintptr_t wParam) {
    return static_cast<unsigned>((wParam >> 16U) & 0xFFFFU);
}
}  // namespace win
