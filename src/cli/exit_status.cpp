#include "exit_status.h"

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
