#include "loader.h"

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"
#include "exit_status.h"
#include "image_file.h"
#include "image_report.h"
#include "json_events.h"
#include "pelco_command.h"
#include "port_list.h"
#include "port_run.h"
#include "result_text.h"
#include "sim_port.h"
#include "upgrade_frame.h"

namespace {

constexpr const char* kSimPortName = "sim";

std::string AddressText(const std::vector<int>& addresses) {
    std::string text;
    for (const int address : addresses) {
        text += (text.empty() ? "" : ",") + std::to_string(address);
    }
    return text;
}

int ListPorts(std::ostream& out) {
    const auto ports = ListSerialPorts();
    if (ports.empty()) {
        out << "no serial ports found\n";
    }
    for (const SerialPortInfo& info : ports) {
        out << info.name;
        out << "\t" << (info.stablePath.empty() ? "-" : info.stablePath);
        out << "\t" << (info.vidPid.empty() ? "-" : info.vidPid);
        out << "\t" << (info.serialNumber.empty() ? "-" : info.serialNumber);
        out << "\t" << (info.description.empty() ? "-" : info.description) << "\n";
    }
    return exit_status::kSuccess;
}

// How the run ended, for the exit status and the closing JSON object.
struct RunEnd {
    int status = exit_status::kSuccess;
    std::string what = DescribeStatus(UpgradeStatus::Done);
    std::string message;  // the first failure, for people
    std::string heads;    // JSON array of every head, empty when none was tried
    bool told = false;    // the message is already on stderr
};

RunEnd Ended(int status, const char* what, std::string message) {
    RunEnd end;
    end.status = status;
    end.what = what;
    end.message = std::move(message);
    return end;
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

std::string HeadsJson(const std::vector<PortOutcome>& outcomes,
                      const std::vector<RunContext>& contexts) {
    std::string json;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        for (const HeadOutcome& head : outcomes[i].heads) {
            json += json.empty() ? "[" : ",";
            json += "{\"port\":" + JsonString(contexts[i].port) +
                    ",\"address\":" + std::to_string(head.address) + ",\"state\":\"" +
                    HeadStateName(head) + "\"";
            if (head.state == HeadState::Failed) {
                json += ",\"status\":" + JsonString(DescribeStatus(head.status)) +
                        ",\"exit\":" + std::to_string(ExitStatusOf(head.status));
            }
            json += "}";
        }
    }
    return json.empty() ? "[]" : json + "]";
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

RunEnd Upgrade(const CliOptions& options, std::ostream& out, std::ostream& err) {
    // Read once, whole, before any output is created or port opened.
    const ImageFile image = OpenImage(options.image);
    if (!image.error.empty()) {
        return Ended(exit_status::kImage, "image unreadable", image.error);
    }
    CTraceFile trace;
    std::string error;
    if (!options.traceFile.empty() && !trace.Open(options.traceFile, error)) {
        return Ended(exit_status::kUsage, "usage error", error);
    }

    // Simulated heads first, so that their ports exist before any opening.
    std::vector<std::unique_ptr<CSimPort>> sims;
    std::vector<std::string> paths;
    for (const std::string& port : options.ports) {
        if (port != kSimPortName) {
            paths.push_back(port);
            continue;
        }
        SimHeadSettings settings;
        settings.addresses.assign(options.addresses.begin(), options.addresses.end());
        settings.pelcoP = options.protocolIndex == PELCO_P;
        settings.speed = options.speed;
        settings.noCommand = options.noSwitch;
        settings.echo = options.echo;
        auto sim = StartSimPort(settings, error);
        if (!sim) {
            return Ended(exit_status::kUsage, "usage error", error);
        }
        const bool several = settings.addresses.size() > 1;
        err << "simulated " << (several ? "heads" : "head") << " (address "
            << AddressText(settings.addresses) << ", " << options.protocolName << ", "
            << settings.speed << " bit/s) " << (several ? "listen" : "listens") << " on "
            << sim->Path() << "\n";
        paths.push_back(sim->Path());
        sims.push_back(std::move(sim));
    }

    const ProgressStyle style =
        ChooseProgressStyle(options.quiet, StderrIsTerminal(), options.json && StdoutIsTerminal());
    CProgressDisplay progress(err, style, paths.size(), TerminalColumns);
    CJsonStream json(out);
    EventSinks sinks;
    sinks.trace = trace.IsOpen() ? &trace : nullptr;
    sinks.json = options.json ? &json : nullptr;
    sinks.progress = &progress;

    static std::atomic<bool> stop{false};
    InstallStopHandler(stop);

    std::vector<RunContext> contexts(paths.size());
    std::vector<PortOutcome> outcomes(paths.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        contexts[i].port = options.ports[i] == kSimPortName ? paths[i] : options.ports[i];
        contexts[i].portIndex = i;
        threads.emplace_back([&, i] {
            outcomes[i] = RunPort(paths[i], contexts[i], options, image.bytes, sinks, stop);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    progress.Finish();

    for (const auto& sim : sims) {
        err << sim->Report() << "\n";
    }
    RunEnd end;
    bool stopped = false;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const PortOutcome& outcome = outcomes[i];
        ReportPort(outcome, contexts[i], options, err);
        if (outcome.status == UpgradeStatus::Stopped) {
            stopped = true;
        } else if (outcome.status != UpgradeStatus::Done && end.status == exit_status::kSuccess) {
            end = Ended(ExitStatusOf(outcome.status), DescribeStatus(outcome.status),
                        outcome.message);
        }
    }
    if (stopped) {
        end = Ended(exit_status::kInterrupted, DescribeStatus(UpgradeStatus::Stopped),
                    "stopped on request");
    }
    end.heads = HeadsJson(outcomes, contexts);
    end.told = true;
    return end;
}

RunEnd InspectOrEmit(const CliOptions& options, std::ostream& out, std::ostream& err) {
    const ImageFile image = OpenImage(options.image);
    if (!image.error.empty()) {
        return Ended(exit_status::kImage, "image unreadable", image.error);
    }
    if (!options.emitFile.empty()) {
        const int status = EmitFrameStream(image, options.emitFile, err);
        if (status != exit_status::kSuccess) {
            RunEnd end = Ended(status, "usage error", "Failed to write '" + options.emitFile + "'");
            end.told = true;
            return end;
        }
    }
    if (options.inspect) {
        // With --json, stdout carries JSON lines only.
        InspectImage(image, options, options.json ? err : out);
    }
    return {};
}

// An output that is the image itself would be emptied before the image is read.
std::string OutputOverwritesImage(const CliOptions& options) {
    for (const auto& [option, path] :
         {std::pair<const char*, const std::string&>{"--trace", options.traceFile},
          {"--emit", options.emitFile}}) {
        if (!path.empty() && IsSameFile(path, options.image)) {
            return std::string(option) + " '" + path + "' is the image itself ('" + options.image +
                   "'): name another file for the output";
        }
    }
    return {};
}

RunEnd Run(const CliOptions& options, std::ostream& out, std::ostream& err) {
    const std::string clash = OutputOverwritesImage(options);
    if (!clash.empty()) {
        return Ended(exit_status::kUsage, "usage error", clash);
    }
    if (options.inspect || !options.emitFile.empty()) {
        return InspectOrEmit(options, out, err);
    }
    return Upgrade(options, out, err);
}

}  // namespace

void WriteRunResult(std::ostream& out, int exitStatus, const std::string& what,
                    const std::string& message, const std::string& heads) {
    CJsonStream json(out);
    json.Write("{\"event\":\"result\",\"status\":" + JsonString(what) +
               ",\"exit\":" + std::to_string(exitStatus) + ",\"message\":" + JsonString(message) +
               (heads.empty() ? "" : ",\"heads\":" + heads) + "}");
}

int RunLoader(const CliOptions& options, std::ostream& out, std::ostream& err) {
    if (options.listPorts) {
        // With --json, stdout carries JSON lines only.
        const int status = ListPorts(options.json ? err : out);
        if (options.json) {
            WriteRunResult(out, status, "ports listed", "");
        }
        return status;
    }
    const RunEnd end = Run(options, out, err);
    if (!end.told && !end.message.empty()) {
        err << "ptz-upgrade: " << end.message << "\n";
    }
    if (options.json) {
        WriteRunResult(out, end.status, end.what, end.message, end.heads);
    }
    return end.status;
}
