#include "frame_decoder.h"

namespace {
std::uint32_t BigEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = (value << 8U) | bytes[i];
    }
    return value;
}
}  // namespace

DecodedFrame DecodeFrame(const std::uint8_t* frame) {
    DecodedFrame decoded;
    decoded.startMarkOk = frame[0] == headframe::kStartMark;
    decoded.last = frame[1] != 0;
    decoded.loadAddress = BigEndian(frame + 2, 4);
    decoded.blockLength = BigEndian(frame + 6, 2);
    decoded.data = frame + headframe::kDataOffset;
    decoded.sentSum = BigEndian(frame + headframe::kSumOffset, 3);
    // Everything after the start mark up to the end of the data; kept to 24 bits as sent.
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < headframe::kSumOffset; ++i) {
        sum += frame[i];
    }
    decoded.computedSum = sum & 0xFFFFFFU;
    return decoded;
}
