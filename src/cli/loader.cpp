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
#include "plan_run.h"
#include "port_list.h"
#include "port_run.h"
#include "result_text.h"
#include "run_outcome.h"
#include "sim_port.h"
#include "upgrade_frame.h"
#include "usb_adapter.h"

namespace {

constexpr const char* kSimPortName = "sim";

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// One line per port, tab-separated, on `out`; what to do about a slow adapter on `notes`.
int ListPorts(std::ostream& out, std::ostream& notes) {
    const auto ports = ListSerialPorts();
    if (ports.empty()) {
        out << "no serial ports found\n";
    }
    for (const SerialPortInfo& info : ports) {
        out << info.name << "\t" << OrDash(info.stablePath) << "\t" << OrDash(info.vidPid) << "\t"
            << OrDash(info.serialNumber) << "\t" << OrDash(info.description) << "\t"
            << OrDash(UsbChipFamily(info.vidPid)) << "\t" << OrDash(info.driver) << "\t"
            << (info.latencyTimerMs < 0 ? "-" : std::to_string(info.latencyTimerMs) + " ms")
            << "\n";
    }
    for (const SerialPortInfo& info : ports) {
        const std::string advice = LatencyAdvice(info);
        if (!advice.empty()) {
            notes << "ptz-upgrade: " << info.name << ": " << advice << "\n";
        }
    }
    return exit_status::kSuccess;
}

JsonObject HeadsJson(const std::vector<PortOutcome>& outcomes,
                     const std::vector<RunContext>& contexts) {
    JsonObject json = JsonObject::array();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        for (const HeadOutcome& head : outcomes[i].heads) {
            json.push_back(HeadJson(head, contexts[i].port));
        }
    }
    return json;
}

// Each --port sim as a simulated head's pty; `paths` gets what each --port opens.
bool StartSimulatedHeads(const CliOptions& options, std::ostream& err,
                         std::vector<std::unique_ptr<CSimPort>>& sims,
                         std::vector<std::string>& paths, std::string& error) {
    for (const std::string& port : options.ports) {
        if (port != kSimPortName) {
            paths.push_back(port);
            continue;
        }
        auto sim = StartSimBus({options.addresses.begin(), options.addresses.end()},
                               options.protocolName, options.speed, options, err, error);
        if (!sim) {
            return false;
        }
        paths.push_back(sim->Path());
        sims.push_back(std::move(sim));
    }
    return true;
}

// Every port's summary; the exit status is the first failed port's, 130 when stopped.
RunEnd EndOfPorts(const std::vector<PortOutcome>& outcomes, const std::vector<RunContext>& contexts,
                  const CliOptions& options, std::ostream& err) {
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
    if (!StartSimulatedHeads(options, err, sims, paths, error)) {
        return Ended(exit_status::kUsage, "usage error", error);
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
        contexts[i].protocolName = options.protocolName;
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
    return EndOfPorts(outcomes, contexts, options, err);
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
    if (!options.planFile.empty()) {
        return RunPlan(options, out, err);
    }
    if (options.inspect || !options.emitFile.empty()) {
        return InspectOrEmit(options, out, err);
    }
    return Upgrade(options, out, err);
}

}  // namespace

void WriteRunResult(std::ostream& out, int exitStatus, const std::string& what,
                    const std::string& message, const JsonObject& heads) {
    JsonObject result = JsonEvent("result");
    result["status"] = what;
    result["exit"] = exitStatus;
    result["message"] = message;
    if (!heads.is_null()) {
        result["heads"] = heads;
    }
    CJsonStream(out).Write(result);
}

int RunLoader(const CliOptions& options, std::ostream& out, std::ostream& err) {
    if (options.listPorts) {
        // With --json, stdout carries JSON lines only.
        const int status = ListPorts(options.json ? err : out, err);
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
