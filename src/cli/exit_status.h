// The exit statuses of ptz-upgrade: scripts and production lines depend on them.
#pragma once

#include <string>

#include "upgrade_session.h"

namespace exit_status {
constexpr int kSuccess = 0;
constexpr int kUsage = 2;
constexpr int kPort = 3;
constexpr int kNoConnection = 4;
constexpr int kHeadFailed = 5;
constexpr int kHeadTimedOut = 6;
constexpr int kNoAnswer = 7;
constexpr int kChecksumErrors = 8;
constexpr int kImage = 9;
constexpr int kReport = 10;        // --plan: a line of the --report could not be written whole
constexpr int kInterrupted = 130;  // 128 + SIGINT, as shells report it
}  // namespace exit_status

int ExitStatusOf(UpgradeStatus status);

// Every exit status with its meaning, one line each, as --help ends: the one list of them.
std::string ExitStatusHelp();
