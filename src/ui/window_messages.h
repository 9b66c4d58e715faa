// The Win32 message, notification, style and result numbers the portable dialog code uses, so
// that it needs no platform header. The values are the platform's own.
#pragma once

#include <cstdint>

namespace win {
constexpr unsigned kWmPaint = 0x000FU;
constexpr unsigned kWmClose = 0x0010U;
constexpr unsigned kWmQueryDragIcon = 0x0037U;
constexpr unsigned kWmCommand = 0x0111U;
constexpr unsigned kWmSysCommand = 0x0112U;

constexpr unsigned kBnClicked = 0;
constexpr unsigned kCbnSelChange = 1;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

constexpr unsigned kMbOk = 0x0000U;
constexpr unsigned kMbYesNo = 0x0004U;
constexpr unsigned kMbIconQuestion = 0x0020U;
constexpr unsigned kMbIconExclamation = 0x0030U;

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
