// The bytes of one upgrade frame, as a buffer type of its own so that code which only carries
// frames does not pull in the whole program state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Bytes in one upgrade frame: mark, last-block mark, address, length, 4096 data bytes, sum.
constexpr std::size_t kUpgradeFrameBytes = 4107;
using FrameBuffer = std::array<std::uint8_t, kUpgradeFrameBytes>;
