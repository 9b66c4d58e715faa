// The command line of ptz-upgrade: its options, their checks, and the address lists.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "upgrade_session.h"

struct CliOptions {
    std::string image;
    std::vector<std::string> ports;
    std::vector<std::uint8_t> addresses{1};
    std::uint8_t protocolIndex = 1;  // PELCO_D
    std::string protocolName = "pelco-d";
    std::int32_t speed = 2400;
    bool noSwitch = false;
    int switchPauseMs = session::kMinSwitchPauseMs;
    double answerTimeoutSeconds = 10;
    int retries = session::kDefaultRetries;
    int ackDelayMs = session::kDefaultAckDelayMs;
    WriteMode writeMode = WriteMode::Frame;
    std::string traceFile;
    bool json = false;
    bool echo = false;
    std::string emitFile;
    bool inspect = false;
    bool listPorts = false;
    bool quiet = false;
    std::string planFile;    // --plan: the heads come from it, not from --port and --address
    int jobs = 0;            // buses of a plan upgraded at once; 0: all
    std::string reportFile;  // --report: one CSV line per head of the plan as it ends
    std::string resumeFile;  // --resume: skip the heads this report lists as upgraded
    int canary = 0;          // --canary: heads upgraded one at a time before the rest
    int maxFailures = 0;     // --max-failures: failed heads that halt the rollout; 0: none

    // The per-head settings of the upgrade session for one address.
    UpgradeSessionOptions SessionFor(std::uint8_t address) const;
};

// Parses "1", "1,4,7-9": addresses 1..255 in the order given, none twice. Nothing, with
// `error` set, when the list is not one.
std::optional<std::vector<std::uint8_t>> ParseAddressList(const std::string& text,
                                                          std::string& error);

enum class PortNameFault {
    None,
    Malformed,      // a network name that does not parse; `problem` names the port
    SwitchOnRawTcp  // socket:// cannot take the upgrade-mode switch; `problem` says what to use
};

// The checks every port name passes before any port opens, given on the command line or in a
// plan.
PortNameFault CheckPortName(const std::string& port, bool noSwitch, std::string& problem);

struct ParseOutcome {
    std::optional<int> exitNow;  // set when the program ends here (help, version, usage error)
    CliOptions options;
    std::string usageError;  // the usage error, also written to `err`
    bool json = false;       // --json was asked for, even on a command line that did not parse
};

// Help and version go to `out`, usage errors to `err`.
ParseOutcome ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                              std::ostream& err);
