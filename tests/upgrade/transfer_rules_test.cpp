// The rules both programs follow: which frame goes out next, and what each byte a head sends
// means for the frame on the line; above all, 0x84 is a success only in answer to the whole
// last frame.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "transfer_rules.h"

namespace {

constexpr int kRetries = 3;
constexpr auto B = FrameRole::Block;
constexpr auto L = FrameRole::LastBlock;
constexpr auto F = FrameRole::Fill;

struct AnswerCase {
    std::uint8_t answer;
    FrameRole role;
    bool wholeFrameOut;
    bool damaged;
    int attempt;
    FrameStep expected;
};

class AnswerRules : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerRules, DecideTheNextStep) {
    const AnswerCase& c = GetParam();
    FrameOnLine frame;
    frame.role = c.role;
    frame.wholeFrameOut = c.wholeFrameOut;
    frame.reportedDamaged = c.damaged;
    frame.attempt = c.attempt;
    EXPECT_EQ(DecideFrameStep(c.answer, frame, kRetries), c.expected)
        << "answer 0x" << std::hex << int{c.answer};
}

INSTANTIATE_TEST_SUITE_P(EveryAnswer, AnswerRules,
                         ::testing::Values(
                             // Complete counts only for the whole last frame (or the fill frame),
                             // never while the head still reports it damaged.
                             AnswerCase{0x84, B, true, false, 0, FrameStep::CompleteTooEarly},
                             AnswerCase{0x84, B, true, false, 2, FrameStep::CompleteTooEarly},
                             AnswerCase{0x84, L, true, false, 0, FrameStep::Complete},
                             AnswerCase{0x84, F, true, false, 0, FrameStep::Complete},
                             AnswerCase{0x84, L, false, false, 0, FrameStep::CompleteTooEarly},
                             AnswerCase{0x84, F, false, false, 0, FrameStep::CompleteTooEarly},
                             AnswerCase{0x84, L, true, true, 0, FrameStep::CompleteTooEarly},
                             // Accepted: next block, then the fill frame, then nothing is left.
                             AnswerCase{0x82, B, true, false, 0, FrameStep::NextFrame},
                             AnswerCase{0x82, L, true, false, 0, FrameStep::SendFill},
                             AnswerCase{0x82, F, true, false, 0, FrameStep::EndNotConfirmed},
                             AnswerCase{0x82, B, false, false, 0, FrameStep::KeepWaiting},
                             // Checksum errors resend until the retries are spent; before the frame
                             // is out they are about nothing on the line.
                             AnswerCase{0x81, B, true, false, 0, FrameStep::Resend},
                             AnswerCase{0x83, L, true, false, 2, FrameStep::Resend},
                             AnswerCase{0x83, F, true, false, 3, FrameStep::TooManyChecksumErrors},
                             AnswerCase{0x81, L, false, false, 0, FrameStep::KeepWaiting},
                             // The head's own failures end the transfer whenever they come.
                             AnswerCase{0x86, B, true, false, 0, FrameStep::HeadFailed},
                             AnswerCase{0x86, L, false, false, 0, FrameStep::HeadFailed},
                             AnswerCase{0x87, F, true, false, 0, FrameStep::HeadTimedOut},
                             AnswerCase{0x87, B, false, false, 0, FrameStep::HeadTimedOut},
                             // 0x80 belongs to the connection check; 0x85 and noise mean nothing.
                             AnswerCase{0x80, L, true, false, 0, FrameStep::KeepWaiting},
                             AnswerCase{0x85, L, true, false, 0, FrameStep::KeepWaiting},
                             AnswerCase{0x00, B, true, false, 0, FrameStep::KeepWaiting},
                             AnswerCase{0xFF, L, true, false, 0, FrameStep::KeepWaiting}));

TEST(FrameRules, NoOtherByteAnswersAFrame) {
    int answers = 0;
    for (int byte = 0; byte < 256; ++byte) {
        const FrameStep step = DecideFrameStep(static_cast<std::uint8_t>(byte), FrameOnLine{}, 0);
        answers += step == FrameStep::KeepWaiting ? 0 : 1;
    }
    EXPECT_EQ(answers, 6);  // 0x81 0x82 0x83 0x84 0x86 0x87
}

struct Cursor {
    std::int64_t index;
    std::int32_t offset;
    std::int32_t blockLen;
    FrameRole role;
    int attempt;
    std::uint32_t loadAddress;
};

void ExpectCursor(const FrameCursor& got, const Cursor& want) {
    EXPECT_EQ(got.index, want.index);
    EXPECT_EQ(got.offset, want.offset);
    EXPECT_EQ(got.blockLen, want.blockLen);
    EXPECT_EQ(got.role, want.role);
    EXPECT_EQ(got.attempt, want.attempt);
    EXPECT_EQ(got.LoadAddress(), want.loadAddress);
}

TEST(FrameRules, AWholeTransferWalksTheBlocksThenTheFillFrame) {
    const std::int32_t size = 2 * 4096 + 10;  // a short last block
    FrameCursor frame = FrameAt(0, size);
    ExpectCursor(frame, {0, 0, 4096, B, 0, 0x00020000});
    frame = FrameAfter(frame, size);
    ExpectCursor(frame, {1, 4096, 4096, B, 0, 0x00021000});
    frame = FrameAfter(frame, size);
    ExpectCursor(frame, {2, 8192, 10, L, 0, 0x00022000});
    // A damaged short last block goes again whole: same block, same load address.
    frame = ResendOf(ResendOf(frame));
    ExpectCursor(frame, {2, 8192, 10, L, 2, 0x00022000});
    frame = FrameAfter(frame, size);
    ExpectCursor(frame, {3, 8202, 0, F, 0, 0x0002200A});
}

TEST(FrameRules, ExactMultiplesAndEmptyImages) {
    ExpectCursor(FrameAt(4096, 8192), {0, 4096, 4096, L, 0, 0x00021000});
    ExpectCursor(FrameAfter(FrameAt(4096, 8192), 8192), {1, 8192, 0, F, 0, 0x00022000});
    // An empty image still sends one frame: the fill frame at the base address.
    ExpectCursor(FrameAt(0, 0), {0, 0, 0, F, 0, 0x00020000});
}

// A frame of 4107 bytes needs 356.51 ms at 115200 bit/s; an answer counts from 95 % of that on
// (338.68 ms), and never before the last byte was handed to the port.
struct HandOverCase {
    int baudRate;
    long long lastByteAtUs;  // < 0: not handed yet
    long long arrivedAtUs;
    bool couldBeOut;
};

class AnswerTiming : public ::testing::TestWithParam<HandOverCase> {};

TEST_P(AnswerTiming, AnAnswerNeedsTheWholeFrameOnTheWire) {
    const HandOverCase& c = GetParam();
    const FrameHandOver::Clock::time_point start{std::chrono::seconds{100}};
    FrameHandOver handOver;
    handOver.firstByteAt = start;
    if (c.lastByteAtUs >= 0) {
        handOver.lastByteAt = start + std::chrono::microseconds{c.lastByteAtUs};
    }
    handOver.bytes = 4107;
    handOver.baudRate = c.baudRate;
    EXPECT_EQ(WholeFrameCouldBeOut(handOver, start + std::chrono::microseconds{c.arrivedAtUs}),
              c.couldBeOut);
}

INSTANTIATE_TEST_SUITE_P(
    WireTime, AnswerTiming,
    ::testing::Values(
        // Buffered writes: every byte handed over at once, the answer 40 ms later is too early.
        HandOverCase{115200, 0, 40000, false}, HandOverCase{115200, 0, 338670, false},
        HandOverCase{115200, 0, 338690, true}, HandOverCase{115200, 0, 356510, true},
        // Before the last byte was handed over, nothing counts however late.
        HandOverCase{115200, -1, 900000, false}, HandOverCase{115200, 400000, 399999, false},
        HandOverCase{115200, 400000, 400000, true},
        // Slower lines need longer: 4107 bytes at 9600 bit/s take 4.278 s.
        HandOverCase{9600, 0, 4000000, false}, HandOverCase{9600, 0, 4100000, true}));

}  // namespace
