// A chunk of received bytes on its way from the receive worker to the window: each chunk is its
// own heap copy whose address travels as wParam, so it is never overwritten before it is handled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "window_surface.h"

struct PortChunk {
    std::vector<std::uint8_t> bytes;
};

// Posts WM_PORT_DATA with a copy of the bytes; false (and nothing leaked) if the post failed.
bool PostPortChunk(IWindowSurface& window, const std::uint8_t* bytes, std::size_t length);

// Takes ownership of the chunk a WM_PORT_DATA message carries.
std::unique_ptr<PortChunk> TakePortChunk(std::uintptr_t wParam);
