#include "head_answer.h"

#include <array>
#include <cstdio>

AnswerAction ClassifyAnswer(std::uint8_t answer) {
    switch (static_cast<HeadAnswer>(answer)) {
        case HeadAnswer::Connected:
            return AnswerAction::Connected;
        case HeadAnswer::FrameAccepted:
            return AnswerAction::NextFrame;
        case HeadAnswer::ChecksumErrorA:
        case HeadAnswer::ChecksumErrorB:
            return AnswerAction::ResendFrame;
        case HeadAnswer::UpgradeComplete:
            return AnswerAction::Done;
        case HeadAnswer::UpgradeFailed:
            return AnswerAction::Failed;
        case HeadAnswer::UpgradeTimedOut:
            return AnswerAction::HeadTimedOut;
    }
    return AnswerAction::Ignore;
}

std::string DescribeAnswer(std::uint8_t answer) {
    switch (ClassifyAnswer(answer)) {
        case AnswerAction::Connected:
            return "connected";
        case AnswerAction::NextFrame:
            return "frame accepted";
        case AnswerAction::ResendFrame:
            return "checksum error";
        case AnswerAction::Done:
            return "upgrade complete";
        case AnswerAction::Failed:
            return "upgrade failed";
        case AnswerAction::HeadTimedOut:
            return "head timed out";
        case AnswerAction::Ignore:
            break;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "unknown byte 0x%02x", answer);
    return text.data();
}
