// The head the operator named in the device dialog, handed to the main window by address.
#pragma once

#include <cstdint>

struct DeviceChoice {
    std::uint8_t address;        // 1 to 255
    std::uint8_t protocolIndex;  // 0 = PELCO_P, 1 = PELCO_D; 0xFF when the list has no selection
    std::uint8_t speedIndex;     // 0 = 2400, 1 = 4800, 2 = 9600, 3 = 19200; 0xFF when none
};
static_assert(sizeof(DeviceChoice) == 3, "DeviceChoice travels as three bytes");

// lParam of WM_DEVICE_SELECTED: the size of the record.
constexpr long kDeviceChoiceLParam = 3;
