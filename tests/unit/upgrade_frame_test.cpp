#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "upgrade_frame.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File ImageOf(const std::vector<std::uint8_t>& bytes) {
    File file(std::tmpfile());
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    }
    std::rewind(file.get());
    return file;
}

// Builds every frame a transfer of `image` sends, the way the transfer worker walks the file.
std::vector<FrameBuffer> FramesOf(const std::vector<std::uint8_t>& image) {
    File file = ImageOf(image);
    const auto size = static_cast<std::int32_t>(image.size());
    std::vector<FrameBuffer> frames;
    std::int32_t offset = 0;
    do {
        FrameBuffer frame{};
        const FrameReadResult read = BuildUpgradeFrame(file.get(), offset, size, frame);
        EXPECT_TRUE(read.ok) << read.error;
        frames.push_back(frame);
        offset += read.imageBytes;
    } while (frames.back()[frame::kLastBlockAt] == 0);
    return frames;
}

std::vector<std::uint8_t> Bytes(const FrameBuffer& frame, std::size_t at, std::size_t count) {
    return {frame.begin() + static_cast<long>(at), frame.begin() + static_cast<long>(at + count)};
}

TEST(UpgradeFrame, FullBlockOfZeros) {
    const auto frames = FramesOf(std::vector<std::uint8_t>(4096, 0x00));
    ASSERT_EQ(frames.size(), 1U);
    const FrameBuffer& f = frames[0];
    EXPECT_EQ(Bytes(f, 0, 8),
              (std::vector<std::uint8_t>{0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00}));
    for (std::size_t i = frame::kDataAt; i < frame::kChecksumAt; ++i) {
        ASSERT_EQ(f[i], 0x00) << i;
    }
    EXPECT_EQ(Bytes(f, frame::kChecksumAt, 3), (std::vector<std::uint8_t>{0x00, 0x00, 0x13}));
}

TEST(UpgradeFrame, OneByteOverABlockGivesASecondMostlyFilledFrame) {
    std::vector<std::uint8_t> image(4097, 0x11);
    image[4096] = 0x5A;
    const auto frames = FramesOf(image);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(Bytes(frames[0], 1, 5), (std::vector<std::uint8_t>{0x00, 0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Bytes(frames[1], 1, 7),
              (std::vector<std::uint8_t>{0x01, 0x00, 0x02, 0x10, 0x00, 0x10, 0x00}));
    EXPECT_EQ(frames[1][frame::kDataAt], 0x5A);
    for (std::size_t i = frame::kDataAt + 1; i < frame::kChecksumAt; ++i) {
        ASSERT_EQ(frames[1][i], 0xFF) << i;
    }
}

TEST(UpgradeFrame, OneByteImageIsOneMarkedFrameWhoseFillCountsInTheSum) {
    const auto frames = FramesOf({0xA5});
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(Bytes(frames[0], 0, 9),
              (std::vector<std::uint8_t>{0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00, 0xA5}));
    const std::uint32_t sum = 0x01 + 0x02 + 0x10 + 0xA5 + 255U * 4095U;  // 0x0FEFB9
    EXPECT_EQ(Bytes(frames[0], frame::kChecksumAt, 3),
              (std::vector<std::uint8_t>{static_cast<std::uint8_t>(sum >> 16U),
                                         static_cast<std::uint8_t>(sum >> 8U),
                                         static_cast<std::uint8_t>(sum)}));
    EXPECT_EQ(AnnouncedTransferBytes(1), 4107);
}

TEST(UpgradeFrame, EmptyImageStillSendsOneMarkedFrameOfFill) {
    const auto frames = FramesOf({});
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(Bytes(frames[0], 0, 8),
              (std::vector<std::uint8_t>{0x73, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00}));
    for (std::size_t i = frame::kDataAt; i < frame::kChecksumAt; ++i) {
        ASSERT_EQ(frames[0][i], 0xFF);
    }
}

TEST(UpgradeFrame, FrameBuiltPastTheEndCarriesTheEndAddress) {
    File file = ImageOf(std::vector<std::uint8_t>(4096, 0x01));
    FrameBuffer f{};
    ASSERT_EQ(BuildUpgradeFrame(file.get(), 0, 4096, f).imageBytes, 4096);
    const FrameReadResult after = BuildUpgradeFrame(file.get(), 4096, 4096, f);
    EXPECT_TRUE(after.ok);
    EXPECT_EQ(after.imageBytes, 0);
    EXPECT_EQ(Bytes(f, 1, 5), (std::vector<std::uint8_t>{0x01, 0x00, 0x02, 0x10, 0x00}));
}

TEST(UpgradeFrame, ReadErrorIsReportedNotTakenForTheEnd) {
    std::FILE* writeOnly = std::fopen("/dev/null", "w");
    ASSERT_NE(writeOnly, nullptr);
    FrameBuffer f{};
    const FrameReadResult read = BuildUpgradeFrame(writeOnly, 0, 100, f);
    std::fclose(writeOnly);
    EXPECT_FALSE(read.ok);
    EXPECT_NE(read.error.find("offset 0"), std::string::npos) << read.error;
}

// The file under a chosen image may change on disk while the window reads it block by block.
TEST(UpgradeFrame, BytesAddedAfterTheChoiceAreNotSentAndAShorterFileFails) {
    File file = ImageOf(std::vector<std::uint8_t>(4096 + 10, 0x01));
    FrameBuffer f{};
    // Chosen at 100 bytes, grown since: the last block still carries 100 bytes and fill.
    const FrameReadResult grown = BuildUpgradeFrame(file.get(), 0, 100, f);
    ASSERT_TRUE(grown.ok);
    EXPECT_EQ(grown.imageBytes, 100);
    EXPECT_EQ(f[frame::kDataAt + 100], frame::kFill);
    EXPECT_EQ(f[frame::kLastBlockAt], 1);
    // Chosen at three blocks, now shorter: the second block cannot be read whole.
    ASSERT_EQ(std::fseek(file.get(), 4096, SEEK_SET), 0);
    const FrameReadResult shrunk = BuildUpgradeFrame(file.get(), 4096, 3 * 4096, f);
    EXPECT_FALSE(shrunk.ok);
    EXPECT_NE(shrunk.error.find("changed"), std::string::npos) << shrunk.error;
}

// The sum recomputed from what the frame should hold, not from the frame's own bytes.
std::uint32_t ExpectedSum(const std::vector<std::uint8_t>& image, std::size_t offset, bool last) {
    const std::uint32_t address = 0x20000U + static_cast<std::uint32_t>(offset);
    std::uint32_t sum = (last ? 1U : 0U) + (address >> 24U) + ((address >> 16U) & 0xFFU) +
                        ((address >> 8U) & 0xFFU) + (address & 0xFFU) + 0x10U;
    std::size_t n = 0;
    for (std::size_t i = offset; i < image.size() && n < 4096; ++i, ++n) {
        sum += image[i];
    }
    return sum + 255U * static_cast<std::uint32_t>(4096 - n);
}

TEST(UpgradeFrame, RandomImagesMatchAnIndependentRecomputation) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> sizes(0, 5 * 4096 + 17);
    std::uniform_int_distribution<int> bytes(0, 255);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::uint8_t> image(static_cast<std::size_t>(sizes(random)));
        for (auto& b : image) {
            b = static_cast<std::uint8_t>(bytes(random));
        }
        const auto frames = FramesOf(image);
        const auto expectedFrames = std::max<std::size_t>(1, (image.size() + 4095) / 4096);
        ASSERT_EQ(frames.size(), expectedFrames) << image.size();
        EXPECT_EQ(static_cast<std::int64_t>(frames.size() * 4107),
                  std::max<std::int64_t>(
                      AnnouncedTransferBytes(static_cast<std::int64_t>(image.size())), 4107));
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const FrameBuffer& f = frames[k];
            const bool last = k + 1 == frames.size();
            const std::uint32_t got =
                (std::uint32_t{f[4104]} << 16U) | (std::uint32_t{f[4105]} << 8U) | f[4106];
            EXPECT_EQ(got, ExpectedSum(image, k * 4096, last))
                << "size " << image.size() << " frame " << k;
            EXPECT_EQ(f[1], last ? 1 : 0);
        }
    }
}

TEST(AnnouncedTransferBytes, CountsAPartialBlockAsWhole) {
    EXPECT_EQ(AnnouncedTransferBytes(0), 0);
    EXPECT_EQ(AnnouncedTransferBytes(1), 4107);
    EXPECT_EQ(AnnouncedTransferBytes(4096), 4107);
    EXPECT_EQ(AnnouncedTransferBytes(4097), 8214);
}

TEST(CheckImageSize, RefusesImagesTheCountersCannotHold) {
    EXPECT_EQ(CheckImageSize(0), std::nullopt);
    EXPECT_EQ(CheckImageSize(frame::kMaxImageSize), std::nullopt);
    EXPECT_LE(AnnouncedTransferBytes(frame::kMaxImageSize), INT32_MAX);
    const auto tooLarge = CheckImageSize(frame::kMaxImageSize + 1);
    ASSERT_TRUE(tooLarge.has_value());
    EXPECT_NE(tooLarge->find("at most"), std::string::npos);
    EXPECT_TRUE(CheckImageSize(std::int64_t{5} << 32U).has_value());
}

}  // namespace
