// The upgrade frame: 4107 bytes carrying one 4096-byte block of the image, its load address,
// a last-block mark and a 24-bit sum. Multi-byte fields are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "frame_buffer.h"

namespace frame {
constexpr std::size_t kSize = kUpgradeFrameBytes;
constexpr std::size_t kBlockSize = 4096;
constexpr std::uint8_t kStartMark = 0x73;  // 's'
constexpr std::uint32_t kLoadAddressBase = 0x00020000;
constexpr std::uint8_t kFill = 0xFF;  // data positions past the end of the image

// Field offsets.
constexpr std::size_t kStartMarkAt = 0;
constexpr std::size_t kLastBlockAt = 1;
constexpr std::size_t kAddressAt = 2;
constexpr std::size_t kBlockLengthAt = 6;
constexpr std::size_t kDataAt = 8;
constexpr std::size_t kChecksumAt = kDataAt + kBlockSize;  // 4104
static_assert(kChecksumAt + 3 == kSize, "frame layout adds up to 4107 bytes");

// Largest image a transfer can carry: its announced byte total must fit the signed 32-bit
// counters (and so, with room to spare, the 32-bit load address).
constexpr std::int64_t kMaxBlocks = INT32_MAX / static_cast<std::int64_t>(kSize);
constexpr std::int64_t kMaxImageSize = kMaxBlocks * static_cast<std::int64_t>(kBlockSize);
}  // namespace frame

// What a frame is: a 0x84 means the image arrived whole only in answer to the frame that
// carries the last-block mark, or to the fill frame after it.
enum class FrameRole {
    Block,      // a frame before the last
    LastBlock,  // the frame with the last-block mark
    Fill,       // the all-0xFF frame a head asks for by accepting the last block with 0x82
};

// One frame of a transfer: which block it carries and how often it went out. The one place that
// knows where blocks begin and end, which one is last, and which frame follows which.
struct FrameCursor {
    std::int64_t index = 0;     // 0 for the first frame; a resend keeps its index
    std::int32_t offset = 0;    // image offset of its block
    std::int32_t blockLen = 0;  // image bytes in it (0 in the fill frame)
    FrameRole role = FrameRole::Block;
    int attempt = 0;  // 0 for the first sending, 1.. for resends

    std::uint32_t LoadAddress() const;
    // The last block and the fill frame after it carry the last-block mark.
    bool MarkedLast() const { return role != FrameRole::Block; }
    // Offset of the block after this one: where the image continues once it is accepted.
    std::int32_t NextOffset() const { return offset + blockLen; }
};

// The frame for the block at `offset`; at or past the end of the image, the fill frame.
FrameCursor FrameAt(std::int32_t offset, std::int32_t imageSize, std::int64_t index = 0);
// The frame after an accepted one: the next block, or the fill frame after the last block (and
// after a fill frame).
FrameCursor FrameAfter(const FrameCursor& accepted, std::int32_t imageSize);
// The same block with the same load address again, after the head reported it damaged.
FrameCursor ResendOf(const FrameCursor& damaged);

// Fills `frame` for the block `cursor` names, whose cursor.blockLen image bytes are at `block`;
// the rest of the data field is 0xFF.
void FillUpgradeFrame(const std::uint8_t* block, const FrameCursor& cursor, FrameBuffer& frame);

struct FrameReadResult {
    bool ok = false;              // false: the image could not be read (not the same as its end)
    std::int32_t imageBytes = 0;  // bytes of the image in this frame (0 to 4096)
    std::string error;            // why reading failed, for a message
};

// Builds the frame for the block at `offset` from `image`'s current position, reading it with
// one fread of the block's bytes up to `imageSize` (none past it): a read that ends short of
// that, by a read error or because the file has become shorter, fails.
FrameReadResult BuildUpgradeFrame(std::FILE* image, std::int32_t offset, std::int32_t imageSize,
                                  FrameBuffer& frame);

// The 24-bit sum of every byte after the start mark up to the end of the data field.
std::uint32_t UpgradeFrameChecksum(const FrameBuffer& frame);

// Bytes a transfer of an image of `imageSize` bytes sends: 4107 per started 4096-byte block.
std::int64_t AnnouncedTransferBytes(std::int64_t imageSize);

// Frames a transfer of the image sends (0 for an empty image, which still sends one when run).
std::int64_t FrameCount(std::int64_t imageSize);

// Why an image of this size cannot be sent, or nothing when it can.
std::optional<std::string> CheckImageSize(std::int64_t imageSize);
