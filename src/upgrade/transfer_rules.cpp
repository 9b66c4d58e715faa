#include "transfer_rules.h"

#include <algorithm>

#include "line_timing.h"
#include "upgrade_frame.h"

std::uint32_t FrameCursor::LoadAddress() const {
    // Unsigned arithmetic: the address is taken modulo 2^32, as the frame carries it.
    return static_cast<std::uint32_t>(offset) + frame::kLoadAddressBase;
}

FrameCursor FrameAt(std::int32_t offset, std::int32_t imageSize, std::int64_t index) {
    FrameCursor frame;
    frame.index = index;
    frame.offset = offset;
    const std::int64_t left = std::max<std::int64_t>(0, std::int64_t{imageSize} - offset);
    frame.blockLen = static_cast<std::int32_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(frame::kBlockSize)));
    if (frame.blockLen == 0) {
        frame.role = FrameRole::Fill;
    } else {
        frame.role = std::int64_t{offset} + frame.blockLen >= imageSize ? FrameRole::LastBlock
                                                                        : FrameRole::Block;
    }
    return frame;
}

FrameCursor FrameAfter(const FrameCursor& accepted, std::int32_t imageSize) {
    return FrameAt(accepted.NextOffset(), imageSize, accepted.index + 1);
}

FrameCursor ResendOf(const FrameCursor& damaged) {
    FrameCursor again = damaged;
    ++again.attempt;
    return again;
}

bool WholeFrameCouldBeOut(const FrameHandOver& handOver,
                          FrameHandOver::Clock::time_point arrivedAt) {
    if (!handOver.lastByteAt || arrivedAt < *handOver.lastByteAt) {
        return false;
    }
    // 95 % of the wire time: an adapter's clock may run up to 5 % fast.
    constexpr int kFastClockAllowancePercent = 5;
    const std::chrono::microseconds wire = line::WireTime(handOver.bytes, handOver.baudRate);
    return arrivedAt - handOver.firstByteAt >= wire * (100 - kFastClockAllowancePercent) / 100;
}

FrameStep DecideFrameStep(std::uint8_t answer, const FrameOnLine& frame, int retries) {
    const AnswerAction action = ClassifyAnswer(answer);
    // The head gives up on its own terms whenever it says so.
    if (action == AnswerAction::Failed) {
        return FrameStep::HeadFailed;
    }
    if (action == AnswerAction::HeadTimedOut) {
        return FrameStep::HeadTimedOut;
    }
    if (!frame.wholeFrameOut) {
        // A head that says "complete" before it can have the whole last frame has not got the
        // image; any other answer is not about this frame.
        return action == AnswerAction::Done ? FrameStep::CompleteTooEarly : FrameStep::KeepWaiting;
    }
    switch (action) {
        case AnswerAction::NextFrame:
            if (frame.role == FrameRole::Block) {
                return FrameStep::NextFrame;
            }
            return frame.role == FrameRole::LastBlock ? FrameStep::SendFill
                                                      : FrameStep::EndNotConfirmed;
        case AnswerAction::ResendFrame:
            return frame.attempt >= retries ? FrameStep::TooManyChecksumErrors : FrameStep::Resend;
        case AnswerAction::Done:
            return frame.role == FrameRole::Block || frame.reportedDamaged
                       ? FrameStep::CompleteTooEarly
                       : FrameStep::Complete;
        case AnswerAction::Failed:
        case AnswerAction::HeadTimedOut:
        case AnswerAction::Connected:
        case AnswerAction::Ignore:
            break;
    }
    return FrameStep::KeepWaiting;
}

bool EndsTransfer(FrameStep step) {
    switch (step) {
        case FrameStep::KeepWaiting:
        case FrameStep::NextFrame:
        case FrameStep::SendFill:
        case FrameStep::Resend:
            return false;
        case FrameStep::TooManyChecksumErrors:
        case FrameStep::Complete:
        case FrameStep::CompleteTooEarly:
        case FrameStep::EndNotConfirmed:
        case FrameStep::HeadFailed:
        case FrameStep::HeadTimedOut:
            break;
    }
    return true;
}
