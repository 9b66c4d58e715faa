#include "loader.h"

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "console.h"
#include "exit_status.h"
#include "image_file.h"
#include "image_report.h"
#include "pelco_command.h"
#include "port_list.h"
#include "port_run.h"
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

int Upgrade(const CliOptions& options, std::ostream& out, std::ostream& err) {
    {
        const ImageFile image = OpenImage(options.image);
        if (!image.error.empty()) {
            err << "ptz-upgrade: " << image.error << "\n";
            return exit_status::kImage;
        }
    }
    CTraceFile trace;
    std::string error;
    if (!options.traceFile.empty() && !trace.Open(options.traceFile, error)) {
        err << "ptz-upgrade: " << error << "\n";
        return exit_status::kUsage;
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
            err << "ptz-upgrade: " << error << "\n";
            return exit_status::kUsage;
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
        threads.emplace_back(
            [&, i] { outcomes[i] = RunPort(paths[i], contexts[i], options, sinks, stop); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    progress.Finish();

    for (const auto& sim : sims) {
        err << sim->Report() << "\n";
    }
    int status = exit_status::kSuccess;
    bool stopped = false;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const PortOutcome& outcome = outcomes[i];
        if (outcome.status == UpgradeStatus::Stopped) {
            stopped = true;
            err << "ptz-upgrade: " << StoppedMessage(outcome, contexts[i]) << "\n";
        } else if (outcome.status != UpgradeStatus::Done) {
            err << "ptz-upgrade: " << outcome.message << "\n";
            if (status == exit_status::kSuccess) {
                status = ExitStatusOf(outcome.status);
            }
        } else if (!options.quiet) {
            err << SuccessMessage(outcome, contexts[i]) << "\n";
        }
    }
    return stopped ? exit_status::kInterrupted : status;
}

}  // namespace

int RunLoader(const CliOptions& options, std::ostream& out, std::ostream& err) {
    if (options.listPorts) {
        return ListPorts(out);
    }
    if (options.inspect || !options.emitFile.empty()) {
        ImageFile image = OpenImage(options.image);
        if (!image.error.empty()) {
            err << "ptz-upgrade: " << image.error << "\n";
            return exit_status::kImage;
        }
        if (!options.emitFile.empty()) {
            const int status = EmitFrameStream(image, options.emitFile, err);
            if (status != exit_status::kSuccess || !options.inspect) {
                return status;
            }
        }
        return InspectImage(image, options, out, err);
    }
    return Upgrade(options, out, err);
}
