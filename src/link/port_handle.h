// An opened serial port as the rest of the program sees it: a Win32 HANDLE or a POSIX file
// descriptor, carried as an integer so that no platform header leaks past the link layer.
#pragma once

#include <cstdint>

struct PortHandle {
    std::intptr_t value;
    friend bool operator==(PortHandle a, PortHandle b) { return a.value == b.value; }
    friend bool operator!=(PortHandle a, PortHandle b) { return a.value != b.value; }
};

// INVALID_HANDLE_VALUE on Windows, and never a valid descriptor on POSIX. Also the value held
// before the first opening: a null handle would be descriptor 0 (standard input) on POSIX.
constexpr PortHandle kInvalidPortHandle{-1};
