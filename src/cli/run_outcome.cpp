#include "run_outcome.h"

#include <array>
#include <cstdio>
#include <utility>

#include "json_events.h"
#include "pelco_command.h"
#include "result_text.h"

namespace {

std::string AddressText(const std::vector<int>& addresses) {
    std::string text;
    for (const int address : addresses) {
        text += (text.empty() ? "" : ",") + std::to_string(address);
    }
    return text;
}

std::string StoppedMessage(const PortOutcome& outcome, const RunContext& context) {
    std::string text = "stopped on request: head " + std::to_string(outcome.address) + " on " +
                       context.port + ", ";
    if (outcome.frameReached < 0) {
        text += "before the first frame";
    } else {
        text += "at frame " + std::to_string(outcome.frameReached) + " of " +
                std::to_string(outcome.framesTotal);
    }
    return text + "; the port is closed. Run the upgrade again to finish it.";
}

std::string SuccessMessage(const PortOutcome& outcome, const RunContext& context) {
    std::array<char, 64> seconds{};
    std::snprintf(seconds.data(), seconds.size(), "%.1f s", outcome.seconds);
    return context.port + ": " + std::to_string(outcome.headsUpgraded) + " head(s) upgraded (" +
           std::to_string(outcome.framesTotal) + " frames each) in " + seconds.data();
}

}  // namespace

RunEnd Ended(int status, const char* what, std::string message) {
    RunEnd end;
    end.status = status;
    end.what = what;
    end.message = std::move(message);
    return end;
}

const char* HeadStateName(const HeadOutcome& head) {
    switch (head.state) {
        case HeadState::Upgraded:
            return "upgraded";
        case HeadState::Failed:
            return "failed";
        case HeadState::NotTried:
            break;
    }
    return "not tried";
}

// The port's summary on stderr: every failure in full, then every head by name.
void ReportPort(const PortOutcome& outcome, const RunContext& context, const CliOptions& options,
                std::ostream& err) {
    if (outcome.status == UpgradeStatus::Done) {
        if (!options.quiet) {
            err << SuccessMessage(outcome, context) << "\n";
        }
        return;
    }
    for (const HeadOutcome& head : outcome.heads) {
        if (head.state == HeadState::Failed && head.status != UpgradeStatus::Stopped) {
            err << "ptz-upgrade: " << head.message << "\n";
        }
    }
    if (outcome.status == UpgradeStatus::Stopped) {
        err << "ptz-upgrade: " << StoppedMessage(outcome, context) << "\n";
    }
    err << context.port << ": " << DescribeHeads(outcome.heads) << "\n";
}

JsonObject HeadJson(const HeadOutcome& head, const std::string& port, int row,
                    const std::string& label) {
    JsonObject json{{"port", port}};
    if (row > 0) {
        json["row"] = row;
        json["label"] = label;
    }
    json["address"] = head.address;
    json["state"] = HeadStateName(head);
    if (head.state == HeadState::NotTried && !head.notTriedWhy.empty()) {
        json["why"] = head.notTriedWhy;
    }
    if (head.state == HeadState::Failed) {
        json["status"] = DescribeStatus(head.status);
        json["exit"] = ExitStatusOf(head.status);
    }
    return json;
}

std::string SimAnnouncement(const SimHeadSettings& settings, const std::string& protocolName,
                            const std::string& path) {
    const bool several = settings.addresses.size() > 1;
    return std::string("simulated ") + (several ? "heads" : "head") + " (address " +
           AddressText(settings.addresses) + ", " + protocolName + ", " +
           std::to_string(settings.speed) + " bit/s) " + (several ? "listen" : "listens") + " on " +
           path;
}

std::unique_ptr<CSimPort> StartSimBus(const std::vector<int>& addresses,
                                      const std::string& protocolName, int speed,
                                      const CliOptions& options, std::ostream& err,
                                      std::string& error) {
    SimHeadSettings settings;
    settings.addresses = addresses;
    settings.pelcoP = ProtocolIndexForName(protocolName) == PELCO_P;
    settings.speed = speed;
    settings.noCommand = options.noSwitch;
    settings.echo = options.echo;
    auto sim = StartSimPort(settings, error);
    if (sim) {
        err << SimAnnouncement(settings, protocolName, sim->Path()) << "\n";
    }
    return sim;
}
