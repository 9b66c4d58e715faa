// How a run of heads ends for people and scripts: the exit status with its meaning, each port's
// summary on stderr, and every head's state under --json. Shared by port runs and plan runs.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "exit_status.h"
#include "json_events.h"
#include "port_run.h"
#include "run_context.h"
#include "sim_port.h"

struct RunEnd {
    int status = exit_status::kSuccess;
    std::string what = DescribeStatus(UpgradeStatus::Done);
    std::string message;  // the first failure, for people
    JsonObject heads;     // array of every head for --json; null when none was tried
    bool told = false;    // the message is already on stderr
};

RunEnd Ended(int status, const char* what, std::string message);

// "upgraded", "failed" or "not tried".
const char* HeadStateName(const HeadOutcome& head);

// One head as a JSON object; `row` and `label` only when it came from a plan (row > 0).
JsonObject HeadJson(const HeadOutcome& head, const std::string& port, int row = 0,
                    const std::string& label = {});

// The port's summary on stderr: every failure in full, then every head by name.
void ReportPort(const PortOutcome& outcome, const RunContext& context, const CliOptions& options,
                std::ostream& err);

// A simulated bus (--port sim, or sim in a plan) of `addresses` speaking `protocolName` at
// `speed`, as --no-switch and --echo say, started and announced on `err`; nothing, with
// `error` set, where it cannot run.
std::unique_ptr<CSimPort> StartSimBus(const std::vector<int>& addresses,
                                      const std::string& protocolName, int speed,
                                      const CliOptions& options, std::ostream& err,
                                      std::string& error);

// "simulated heads (address 1,2, pelco-d, 2400 bit/s) listen on /dev/pts/7".
std::string SimAnnouncement(const SimHeadSettings& settings, const std::string& protocolName,
                            const std::string& path);
