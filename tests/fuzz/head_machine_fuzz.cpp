// The simulated head's reading of the line (its Pelco listener, connection check and frame
// decoder) fed arbitrary bytes, mixed with well-formed pieces so that the fuzzer gets past the
// frame sum: every frame and check gets exactly one answer, and only from the answer table.
// The loader's own frames must decode, field for field, as the loader built them.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "event_log.h"
#include "frame_decoder.h"
#include "fuzz_check.h"
#include "head_machine.h"
#include "pelco_command.h"
#include "upgrade_frame.h"

namespace {

constexpr std::array<int, 5> kBauds = {2400, 4800, 9600, 19200, 115200};
constexpr int kTransferBaud = 115200;
constexpr std::int64_t kQuietMs = 1500;  // longer than a head waits before dropping a frame

struct Feed {
    HeadMachine& head;
    std::int64_t nowMs = 0;
    int answerCount = 0;
    int completes = 0;

    void Bytes(const std::uint8_t* bytes, std::size_t count, int baud) {
        std::vector<::HeadAnswer> answers;
        for (std::size_t i = 0; i < count; ++i) {
            head.Step(bytes[i], baud, ++nowMs, answers);
        }
        head.EndOfChunk();
        for (const ::HeadAnswer& answer : answers) {
            FuzzRequire(answer.bytes.size() == 1, "an answer is one byte without noise");
            const std::uint8_t byte = answer.bytes.front();
            FuzzRequire(byte == 0x80 || byte == 0x81 || byte == 0x82 || byte == 0x83 ||
                            byte == 0x84 || byte == 0x86 || byte == 0x87,
                        "answers come from the answer table");
            completes += byte == 0x84 ? 1 : 0;
        }
        answerCount += static_cast<int>(answers.size());
    }
    void Bytes(const std::vector<std::uint8_t>& bytes, int baud) {
        Bytes(bytes.data(), bytes.size(), baud);
    }
};

// The loader's frame for block `block` of an image of `blocks` blocks, decoded by the head.
FrameBuffer LoaderFrame(FuzzedDataProvider& input) {
    const auto blocks = input.ConsumeIntegralInRange<std::int32_t>(1, 8);
    const auto block = input.ConsumeIntegralInRange<std::int32_t>(0, blocks);  // `blocks`: fill
    const auto tail = input.ConsumeIntegralInRange<std::int32_t>(1, 4096);
    const std::int32_t imageSize = (blocks - 1) * 4096 + tail;
    const std::int32_t offset = std::min(block * 4096, imageSize);
    const auto length = static_cast<std::size_t>(std::min(4096, imageSize - offset));
    std::vector<std::uint8_t> data(length, input.ConsumeIntegral<std::uint8_t>());
    FrameBuffer frame{};
    FillUpgradeFrame(data.data(), FrameAt(offset, imageSize), frame);

    const DecodedFrame decoded = DecodeFrame(frame.data());
    FuzzRequire(decoded.startMarkOk && decoded.SumOk(), "a loader frame decodes with a good sum");
    FuzzRequire(decoded.loadAddress == headframe::kLoadBase + static_cast<std::uint32_t>(offset),
                "load address as built");
    FuzzRequire(decoded.blockLength == headframe::kBlockBytes, "block length as built");
    FuzzRequire(decoded.last == (offset + static_cast<std::int32_t>(length) >= imageSize),
                "last-block mark as built");
    FuzzRequire(decoded.data == frame.data() + headframe::kDataOffset, "data inside the frame");
    if (input.ConsumeBool()) {
        frame[input.ConsumeIntegralInRange<std::size_t>(1, frame.size() - 1)] ^= 0x01;
    }
    return frame;
}

void CheckArbitraryFrame(const std::uint8_t* data, std::size_t size) {
    // Exactly one frame on the heap, so that a read past it is seen.
    const auto frame = std::make_unique<std::uint8_t[]>(headframe::kFrameBytes);
    for (std::size_t i = 0; i < headframe::kFrameBytes; ++i) {
        frame[i] = size == 0 ? 0 : data[i % size];
    }
    const DecodedFrame decoded = DecodeFrame(frame.get());
    FuzzRequire(decoded.computedSum <= 0xFFFFFFU && decoded.sentSum <= 0xFFFFFFU,
                "sums are 24-bit");
    FuzzRequire(decoded.blockLength <= 0xFFFFU, "block length is 16-bit");
}

HeadSimOptions OptionsFrom(FuzzedDataProvider& input) {
    HeadSimOptions options;
    options.noCommand = input.ConsumeBool();
    options.pelcoP = input.ConsumeBool();
    options.address = input.ConsumeIntegralInRange<int>(1, 255);
    options.speed = kBauds[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckArbitraryFrame(data, size);
    FuzzedDataProvider input(data, size);
    const HeadSimOptions options = OptionsFrom(input);
    EventLog log;  // not opened: logs nothing
    HeadMachine head(options, log);
    Feed feed{head};
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: {
                const int baud = kBauds[input.ConsumeIntegralInRange<std::size_t>(0, 4)];
                feed.Bytes(input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegral<std::uint8_t>()),
                           baud);
                break;
            }
            case 1: {
                const FrameBuffer frame = LoaderFrame(input);
                feed.Bytes(frame.data(), frame.size(), kTransferBaud);
                break;
            }
            case 2:
                feed.Bytes({0x3F, 0x3F}, kTransferBaud);
                break;
            case 3: {
                const auto address = input.ConsumeIntegral<std::uint8_t>();
                const auto protocol = input.ConsumeIntegralInRange<std::uint8_t>(0, 1);
                const int baud = kBauds[input.ConsumeIntegralInRange<std::size_t>(0, 4)];
                feed.Bytes(BuildUpgradeModeCommand(address, protocol), baud);
                break;
            }
            default:
                feed.nowMs += kQuietMs;
                break;
        }
    }
    const HeadSimSummary& summary = head.Summary();
    FuzzRequire(feed.answerCount == summary.connects + summary.framesReceived,
                "one answer to every connection check and every whole frame");
    FuzzRequire(
        summary.framesAccepted + summary.badSums + summary.badFrames <= summary.framesReceived,
        "no frame counted twice");
    FuzzRequire(feed.completes == summary.upgradesCompleted, "every 0x84 completes an upgrade");
    FuzzRequire(summary.upgradesCompleted <= summary.framesAccepted,
                "only an accepted frame completes");
    FuzzRequire(summary.imageBytes % static_cast<std::int64_t>(headframe::kBlockBytes) == 0,
                "the image holds whole blocks");
    return 0;
}
