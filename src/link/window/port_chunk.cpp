#include "port_chunk.h"

#include "control_ids.h"

bool PostPortChunk(IWindowSurface& window, const std::uint8_t* bytes, std::size_t length,
                   PortClock::time_point arrivedAt) {
    auto chunk = std::make_unique<PortChunk>();
    chunk->bytes.assign(bytes, bytes + length);
    chunk->arrivedAt = arrivedAt;
    const auto address = reinterpret_cast<std::uintptr_t>(chunk.get());
    if (!window.Post(WM_PORT_DATA, address, static_cast<std::intptr_t>(length))) {
        return false;
    }
    (void)chunk.release();  // the handler of WM_PORT_DATA owns it now
    return true;
}

std::unique_ptr<PortChunk> TakePortChunk(std::uintptr_t wParam) {
    // The message parameter is the chunk's address, as PostPortChunk put it there.
    return std::unique_ptr<PortChunk>(
        reinterpret_cast<PortChunk*>(wParam));  // NOLINT(performance-no-int-to-ptr)
}
