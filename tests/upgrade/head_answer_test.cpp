// The decision on each byte a head sends after a frame: what ends the run, what goes on, and
// above all that 0x84 is a success only after the last block.
#include <gtest/gtest.h>

#include <cstdint>

#include "head_answer.h"

namespace {

constexpr int kRetries = 3;

FrameStep Decide(std::uint8_t answer, FrameRole role, int attempt = 0) {
    return DecideFrameStep(answer, role, attempt, kRetries);
}

TEST(FrameStepTest, CompleteCountsOnlyAfterTheLastBlock) {
    EXPECT_EQ(Decide(0x84, FrameRole::Block), FrameStep::CompleteTooEarly);
    EXPECT_EQ(Decide(0x84, FrameRole::Block, 2), FrameStep::CompleteTooEarly);
    EXPECT_EQ(Decide(0x84, FrameRole::LastBlock), FrameStep::Complete);
    EXPECT_EQ(Decide(0x84, FrameRole::Fill), FrameStep::Complete);
}

TEST(FrameStepTest, AcceptedMovesOnThenAsksForTheFillFrameThenEnds) {
    EXPECT_EQ(Decide(0x82, FrameRole::Block), FrameStep::NextFrame);
    EXPECT_EQ(Decide(0x82, FrameRole::LastBlock), FrameStep::SendFill);
    EXPECT_EQ(Decide(0x82, FrameRole::Fill), FrameStep::EndNotConfirmed);
}

TEST(FrameStepTest, ChecksumErrorsResendUntilTheRetriesAreSpent) {
    for (const std::uint8_t answer : {0x81, 0x83}) {
        for (const FrameRole role : {FrameRole::Block, FrameRole::LastBlock, FrameRole::Fill}) {
            EXPECT_EQ(Decide(answer, role, 0), FrameStep::Resend);
            EXPECT_EQ(Decide(answer, role, kRetries - 1), FrameStep::Resend);
            EXPECT_EQ(Decide(answer, role, kRetries), FrameStep::TooManyChecksumErrors);
        }
    }
    EXPECT_EQ(DecideFrameStep(0x81, FrameRole::Block, 0, 0), FrameStep::TooManyChecksumErrors);
}

TEST(FrameStepTest, FailureAnswersEndTheRunAndEverythingElseIsNotAnAnswer) {
    for (const FrameRole role : {FrameRole::Block, FrameRole::LastBlock, FrameRole::Fill}) {
        EXPECT_EQ(Decide(0x86, role), FrameStep::HeadFailed);
        EXPECT_EQ(Decide(0x87, role), FrameStep::HeadTimedOut);
    }
    int waiting = 0;
    for (int byte = 0; byte < 256; ++byte) {
        if (Decide(static_cast<std::uint8_t>(byte), FrameRole::Block) == FrameStep::KeepWaiting) {
            ++waiting;
        }
    }
    // Only 0x81, 0x82, 0x83, 0x84, 0x86 and 0x87 answer a frame; 0x80 is the connection's.
    EXPECT_EQ(waiting, 256 - 6);
    EXPECT_EQ(Decide(0x80, FrameRole::LastBlock), FrameStep::KeepWaiting);
    EXPECT_EQ(Decide(0x85, FrameRole::LastBlock), FrameStep::KeepWaiting);
}

}  // namespace
