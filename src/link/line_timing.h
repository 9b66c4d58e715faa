// How long bytes take on an asynchronous serial line, and the pauses a head needs on it: written
// once, for every room that times the line (answer rules, write time limits, network ports,
// reports, the switch into upgrade mode).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace line {

// A start bit, 8 data bits and a stop bit: the line carries 10 bits for every byte.
constexpr int kBitsPerByte = 10;

// Time `bytes` need on a line at `baudRate` bit/s; nothing at a speed of 0 or less.
constexpr std::chrono::microseconds WireTime(std::size_t bytes, int baudRate) {
    if (baudRate <= 0) {
        return std::chrono::microseconds{0};
    }
    return std::chrono::microseconds{static_cast<std::int64_t>(bytes) * kBitsPerByte * 1000000 /
                                     baudRate};
}

// Pauses a head needs, in milliseconds. Around the upgrade-mode command the port stays open this
// long before and after it...
constexpr int kSwitchSettleMs = 500;
// ...and a port closed to change its speed stays closed this long before it opens again.
constexpr int kPortClosedMs = 500;
// From the head's acceptance of a frame to the next frame.
constexpr int kAckPauseMs = 20;

}  // namespace line
