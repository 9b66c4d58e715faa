// A chunk of received bytes on its way from the receive worker to the window: each chunk is its
// own heap copy whose address travels as wParam, so it is never overwritten before it is handled.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "window_surface.h"

using PortClock = std::chrono::steady_clock;

struct PortChunk {
    std::vector<std::uint8_t> bytes;
    // When the receive worker saw the bytes waiting: the first byte had arrived by then.
    PortClock::time_point arrivedAt = PortClock::now();
};

// Posts WM_PORT_DATA with a copy of the bytes; false (and nothing leaked) if the post failed.
bool PostPortChunk(IWindowSurface& window, const std::uint8_t* bytes, std::size_t length,
                   PortClock::time_point arrivedAt = PortClock::now());

// Takes ownership of the chunk a WM_PORT_DATA message carries.
std::unique_ptr<PortChunk> TakePortChunk(std::uintptr_t wParam);
