#include "result_text.h"

#include <array>
#include <cstdio>

namespace {

constexpr const char* kRunAgain = "power-cycle the head and run the upgrade again";

std::string Hex32(std::uint32_t value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%08x", value);
    return text.data();
}

std::string Hex8(std::uint8_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", value);
    return text.data();
}

std::string Seconds(int ms) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g s", ms / 1000.0);
    return text.data();
}

std::string FrameName(const UpgradeResult& r) {
    if (r.fillFrame) {
        return "the fill frame after the last block (frame " + std::to_string(r.frameReached) + ")";
    }
    return "frame " + std::to_string(r.frameReached) + " of " + std::to_string(r.framesTotal) +
           " (load address " + Hex32(r.loadAddress) + ")";
}

// "; it sent 0x55 0x00 instead, which are not answers" when bytes outside the table arrived.
std::string StrayText(const UpgradeResult& r) {
    if (r.strayCount == 0) {
        return {};
    }
    std::string text = "; bytes that are not answers arrived instead:";
    for (const std::uint8_t byte : r.strayBytes) {
        text += " " + Hex8(byte);
    }
    if (r.strayCount > r.strayBytes.size()) {
        text += " and " + std::to_string(r.strayCount - r.strayBytes.size()) + " more";
    }
    return text + " (a head set to another speed or protocol, or noise on the line)";
}

std::string PortFailure(const UpgradeResult& r) {
    std::string text = "Failed to ";
    switch (r.portAction) {
        case PortAction::Open:
            text += "open the port at " + std::to_string(r.baudRate) + " bit/s " +
                    (r.stage == SessionStage::Command ? "for the upgrade-mode command"
                                                      : "for the transfer");
            break;
        case PortAction::Write:
            text += "write to the port";
            break;
        case PortAction::Read:
        case PortAction::None:
            text += "read from the port";
            break;
    }
    if (r.stage == SessionStage::Frames && r.portAction != PortAction::Open) {
        text += " at " + FrameName(r);
    }
    return r.portError.message.empty() ? text : text + ": " + r.portError.message;
}

}  // namespace

std::string DescribeResult(const UpgradeResult& r) {
    switch (r.status) {
        case UpgradeStatus::Done:
            return {};
        case UpgradeStatus::PortFailed:
            return PortFailure(r);
        case UpgradeStatus::NoConnection:
            return "no connection: the head did not answer the connection check (" +
                   std::to_string(r.connectTries) + " tries, " + Seconds(r.answerTimeoutMs) +
                   " each)" + StrayText(r) +
                   "; check the address, protocol and speed, the wiring, and that the head is "
                   "powered. A head slow to enter upgrade mode needs a longer --switch-pause; "
                   "one that answers later, a longer --answer-timeout";
        case UpgradeStatus::LineEchoes:
            return "the line echoes what is sent (a two-wire RS-485 adapter): run again with "
                   "--echo";
        case UpgradeStatus::HeadFailed:
            return "the head answered 0x86 (upgrade failed) to " + FrameName(r) +
                   ": check that the image is meant for this head, then " + kRunAgain;
        case UpgradeStatus::CompleteTooEarly:
            return "the head answered 0x84 (upgrade complete) to " + FrameName(r) + " with " +
                   std::to_string(r.framesAccepted) + " of " + std::to_string(r.framesTotal) +
                   " frames accepted: the image did not arrive whole and the upgrade is NOT "
                   "complete; " +
                   kRunAgain;
        case UpgradeStatus::HeadTimedOut:
            return "the head answered 0x87 (upgrade timed out) to " + FrameName(r) +
                   ": it waited too long for data; " + kRunAgain +
                   " (if it happens again, check the cable and try --ack-delay 0)";
        case UpgradeStatus::NoAnswer:
            return "no answer to " + FrameName(r) + " within " + Seconds(r.answerTimeoutMs) +
                   StrayText(r) +
                   "; check the cable and that the head is powered. If the head answers later "
                   "than that, raise --answer-timeout";
        case UpgradeStatus::NoEcho:
            return "the line did not echo the bytes sent within " + Seconds(r.answerTimeoutMs) +
                   "; leave out --echo unless the adapter echoes what it sends";
        case UpgradeStatus::EndNotConfirmed:
            return "the head accepted " + FrameName(r) +
                   " with 0x82 but never reported the upgrade complete (0x84); " + kRunAgain;
        case UpgradeStatus::TooManyChecksumErrors:
            return "the head reported a checksum error for " + FrameName(r) + " " +
                   std::to_string(r.attempts) + " time(s), last with " + Hex8(r.answer) +
                   "; check the line (cable, termination, interference), or allow more resends "
                   "with --retries";
        case UpgradeStatus::ImageUnreadable:
            return "the image cannot be sent: it is empty or too large";
        case UpgradeStatus::Stopped:
            return "stopped on request";
    }
    return DescribeStatus(r.status);
}
