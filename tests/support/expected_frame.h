// The frame a head must receive for the block at `offset` of an image, built here by hand from
// the frame's layout, apart from the product's own frame builder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

inline Bytes ExpectedFrame(const Bytes& image, std::size_t offset) {
    Bytes frame(4107, 0xFF);
    const std::size_t n =
        std::min<std::size_t>(4096, image.size() - std::min(offset, image.size()));
    const std::uint32_t address = 0x20000U + static_cast<std::uint32_t>(offset);
    frame[0] = 0x73;
    frame[1] = offset + n >= image.size() ? 1 : 0;
    frame[2] = static_cast<std::uint8_t>(address >> 24U);
    frame[3] = static_cast<std::uint8_t>(address >> 16U);
    frame[4] = static_cast<std::uint8_t>(address >> 8U);
    frame[5] = static_cast<std::uint8_t>(address);
    frame[6] = 0x10;
    frame[7] = 0x00;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), n, frame.begin() + 8);
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < 4104; ++i) {
        sum += frame[i];
    }
    frame[4104] = static_cast<std::uint8_t>(sum >> 16U);
    frame[4105] = static_cast<std::uint8_t>(sum >> 8U);
    frame[4106] = static_cast<std::uint8_t>(sum);
    return frame;
}
