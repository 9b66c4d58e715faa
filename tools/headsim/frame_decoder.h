// The head's own reading of an upgrade frame: fields, sum and the checks it makes on them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace headframe {
constexpr std::size_t kFrameBytes = 4107;
constexpr std::size_t kBlockBytes = 4096;
constexpr std::uint8_t kStartMark = 0x73;
constexpr std::uint32_t kLoadBase = 0x00020000;
constexpr std::size_t kDataOffset = 8;
constexpr std::size_t kSumOffset = kDataOffset + kBlockBytes;
}  // namespace headframe

struct DecodedFrame {
    bool startMarkOk = false;
    bool last = false;  // the last-block mark is set (any non-zero value)
    std::uint32_t loadAddress = 0;
    std::uint32_t blockLength = 0;
    std::uint32_t sentSum = 0;           // the sum the frame carries
    std::uint32_t computedSum = 0;       // the sum of what actually arrived
    const std::uint8_t* data = nullptr;  // the 4096 data bytes inside the decoded buffer

    bool SumOk() const { return sentSum == computedSum; }
};

// Decodes exactly headframe::kFrameBytes bytes; `data` points into `frame`.
DecodedFrame DecodeFrame(const std::uint8_t* frame);
