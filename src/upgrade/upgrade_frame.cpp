#include "upgrade_frame.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

void FillUpgradeFrame(const std::uint8_t* data, std::size_t length, std::int32_t offset,
                      std::int32_t imageSize, FrameBuffer& frame) {
    frame.fill(frame::kFill);
    const std::size_t n = std::min(length, frame::kBlockSize);
    std::copy_n(data, n, frame.begin() + frame::kDataAt);

    const bool lastBlock =
        static_cast<std::int64_t>(offset) + static_cast<std::int64_t>(n) >= imageSize;
    // Unsigned arithmetic: the address is taken modulo 2^32, byte by byte.
    const std::uint32_t address = static_cast<std::uint32_t>(offset) + frame::kLoadAddressBase;

    frame[frame::kStartMarkAt] = frame::kStartMark;
    frame[frame::kLastBlockAt] = lastBlock ? 1 : 0;
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
    std::array<std::uint8_t, frame::kBlockSize> block{};
    std::size_t n = 0;
    if (image != nullptr) {
        // Only the bytes the image had when its size was taken: bytes added to the file since
        // are not part of it, and a file that has become shorter cannot be sent whole.
        const std::int64_t left = std::max<std::int64_t>(0, std::int64_t{imageSize} - offset);
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(frame::kBlockSize)));
        n = std::fread(block.data(), 1, wanted, image);
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
    }
    FillUpgradeFrame(block.data(), n, offset, imageSize, frame);
    FrameReadResult result;
    result.ok = true;
    result.imageBytes = static_cast<std::int32_t>(n);
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
