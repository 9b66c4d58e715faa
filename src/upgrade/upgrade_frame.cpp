#include "upgrade_frame.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

std::uint32_t FrameCursor::LoadAddress() const {
    // Unsigned arithmetic: the address is taken modulo 2^32, as the frame carries it.
    return static_cast<std::uint32_t>(offset) + frame::kLoadAddressBase;
}

FrameCursor FrameAt(std::int32_t offset, std::int32_t imageSize, std::int64_t index) {
    FrameCursor cursor;
    cursor.index = index;
    cursor.offset = offset;
    const std::int64_t left = std::max<std::int64_t>(0, std::int64_t{imageSize} - offset);
    cursor.blockLen = static_cast<std::int32_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(frame::kBlockSize)));
    if (cursor.blockLen == 0) {
        cursor.role = FrameRole::Fill;
    } else {
        cursor.role = std::int64_t{offset} + cursor.blockLen >= imageSize ? FrameRole::LastBlock
                                                                          : FrameRole::Block;
    }
    return cursor;
}

FrameCursor FrameAfter(const FrameCursor& accepted, std::int32_t imageSize) {
    return FrameAt(accepted.NextOffset(), imageSize, accepted.index + 1);
}

FrameCursor ResendOf(const FrameCursor& damaged) {
    FrameCursor again = damaged;
    ++again.attempt;
    return again;
}

void FillUpgradeFrame(const std::uint8_t* block, const FrameCursor& cursor, FrameBuffer& frame) {
    frame.fill(frame::kFill);
    std::copy_n(block, static_cast<std::size_t>(cursor.blockLen), frame.begin() + frame::kDataAt);

    const std::uint32_t address = cursor.LoadAddress();
    frame[frame::kStartMarkAt] = frame::kStartMark;
    frame[frame::kLastBlockAt] = cursor.MarkedLast() ? 1 : 0;
    frame[frame::kAddressAt + 0] = static_cast<std::uint8_t>(address >> 24U);
    frame[frame::kAddressAt + 1] = static_cast<std::uint8_t>(address >> 16U);
    frame[frame::kAddressAt + 2] = static_cast<std::uint8_t>(address >> 8U);
    frame[frame::kAddressAt + 3] = static_cast<std::uint8_t>(address);
    frame[frame::kBlockLengthAt + 0] = static_cast<std::uint8_t>(frame::kBlockSize >> 8U);
    frame[frame::kBlockLengthAt + 1] = static_cast<std::uint8_t>(frame::kBlockSize);

    const std::uint32_t sum = UpgradeFrameChecksum(frame);
    frame[frame::kChecksumAt + 0] = static_cast<std::uint8_t>(sum >> 16U);
    frame[frame::kChecksumAt + 1] = static_cast<std::uint8_t>(sum >> 8U);
    frame[frame::kChecksumAt + 2] = static_cast<std::uint8_t>(sum);
}

FrameReadResult BuildUpgradeFrame(std::FILE* image, std::int32_t offset, std::int32_t imageSize,
                                  FrameBuffer& frame) {
    // Only the bytes the image had when its size was taken: bytes added to the file since are
    // not part of it, and a file that has become shorter cannot be sent whole.
    const FrameCursor cursor = FrameAt(offset, imageSize);
    std::array<std::uint8_t, frame::kBlockSize> block{};
    const auto wanted = static_cast<std::size_t>(cursor.blockLen);
    if (image == nullptr) {
        return FrameReadResult{false, 0, "No image is open"};
    }
    const std::size_t n = std::fread(block.data(), 1, wanted, image);
    if (n < wanted) {
        FrameReadResult failed;
        if (std::ferror(image) != 0) {
            const int err = errno;
            std::clearerr(image);
            failed.error = std::string("Failed to read the image at offset ") +
                           std::to_string(offset) + ": " + std::generic_category().message(err);
        } else {
            failed.error = "The image ends at offset " + std::to_string(offset + n) +
                           ", before its size of " + std::to_string(imageSize) +
                           " bytes: the file was changed";
        }
        return failed;
    }
    FillUpgradeFrame(block.data(), cursor, frame);
    FrameReadResult result;
    result.ok = true;
    result.imageBytes = cursor.blockLen;
    return result;
}

std::uint32_t UpgradeFrameChecksum(const FrameBuffer& frame) {
    std::uint32_t sum = 0;
    for (std::size_t i = frame::kLastBlockAt; i < frame::kChecksumAt; ++i) {
        sum += frame[i];
    }
    return sum & 0xFFFFFFU;  // at most 4103 * 255, always within 24 bits
}

std::int64_t FrameCount(std::int64_t imageSize) {
    if (imageSize <= 0) {
        return 0;
    }
    const auto block = static_cast<std::int64_t>(frame::kBlockSize);
    return (imageSize + block - 1) / block;
}

std::int64_t AnnouncedTransferBytes(std::int64_t imageSize) {
    return FrameCount(imageSize) * static_cast<std::int64_t>(frame::kSize);
}

std::optional<std::string> CheckImageSize(std::int64_t imageSize) {
    if (imageSize < 0) {
        return std::string("the image size cannot be determined");
    }
    if (imageSize > frame::kMaxImageSize) {
        return "the image is " + std::to_string(imageSize) + " bytes; at most " +
               std::to_string(frame::kMaxImageSize) + " bytes (" +
               std::to_string(frame::kMaxBlocks) +
               " blocks of 4096) can be sent, because the byte counters are 32-bit";
    }
    return std::nullopt;
}
