#include "transfer_rules.h"

#include "line_timing.h"

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
