#include "exit_status.h"

#include <array>
#include <cstdio>

namespace {

struct ExitStatusMeaning {
    int status;
    const char* meaning;
};

constexpr std::array<ExitStatusMeaning, 11> kMeanings = {{
    {exit_status::kSuccess, "every head confirmed the whole image (answered 0x84)"},
    {exit_status::kUsage, "usage error: an unknown option, a value out of range, a bad plan"},
    {exit_status::kPort, "the port cannot be opened or configured, or failed while in use"},
    {exit_status::kNoConnection,
     "no connection: no answer to the connection check, or the line echoes without --echo"},
    {exit_status::kHeadFailed,
     "the head reported that the upgrade failed (0x86), or ended it before the last frame"},
    {exit_status::kHeadTimedOut, "the head reported a time-out (0x87)"},
    {exit_status::kNoAnswer,
     "no answer in time (--answer-timeout), no echo (--echo), end not confirmed, heads not tried"},
    {exit_status::kChecksumErrors, "checksum errors on one frame beyond --retries"},
    {exit_status::kImage, "the image cannot be read, is not a regular file, is empty or too large"},
    {exit_status::kReport,
     "--plan: a line of the --report could not be written whole; no head started after it"},
    {exit_status::kInterrupted, "stopped on request (Ctrl-C); the port is closed"},
}};

}  // namespace

std::string ExitStatusHelp() {
    std::string help = "Exit status (with several heads, that of the first failure):\n";
    for (const ExitStatusMeaning& meaning : kMeanings) {
        std::array<char, 16> status{};
        std::snprintf(status.data(), status.size(), "  %-5d", meaning.status);
        help += status.data() + std::string(meaning.meaning) + "\n";
    }
    return help;
}

int ExitStatusOf(UpgradeStatus status) {
    switch (status) {
        case UpgradeStatus::Done:
            return exit_status::kSuccess;
        case UpgradeStatus::PortFailed:
            return exit_status::kPort;
        case UpgradeStatus::NoConnection:
        case UpgradeStatus::LineEchoes:
            return exit_status::kNoConnection;
        case UpgradeStatus::HeadFailed:
        case UpgradeStatus::CompleteTooEarly:  // the head ended the upgrade unfinished
            return exit_status::kHeadFailed;
        case UpgradeStatus::HeadTimedOut:
            return exit_status::kHeadTimedOut;
        case UpgradeStatus::NoAnswer:
        case UpgradeStatus::NoEcho:
        case UpgradeStatus::EndNotConfirmed:
            return exit_status::kNoAnswer;
        case UpgradeStatus::TooManyChecksumErrors:
            return exit_status::kChecksumErrors;
        case UpgradeStatus::ImageUnreadable:
            return exit_status::kImage;
        case UpgradeStatus::Stopped:
            return exit_status::kInterrupted;
    }
    return exit_status::kNoAnswer;
}
