#include "plan_run.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"
#include "fleet_plan.h"
#include "image_file.h"
#include "json_events.h"
#include "plan_report.h"
#include "port_run.h"
#include "sim_port.h"

namespace {

constexpr const char* kSimPortName = "sim";

// The heads of one port that this run upgrades, in the plan's order.
struct Bus {
    std::string port;               // as its first row names it
    std::string path;               // what is opened: the port itself, or the simulated head's pty
    std::vector<std::size_t> rows;  // into the plan's rows
    std::vector<BusHead> heads;
    RunContext context;
    PortOutcome outcome;
};

std::string OutcomeText(const HeadOutcome& head) {
    switch (head.state) {
        case HeadState::Upgraded:
            return kUpgradedOutcome;
        case HeadState::Failed:
            return std::string("failed: ") + DescribeStatus(head.status);
        case HeadState::NotTried:
            break;
    }
    return "not tried";
}

ReportEntry EntryFor(const PlanRow& row, const PlanImage& image, const HeadOutcome& head) {
    ReportEntry entry;
    entry.row = row.line;
    entry.label = row.label;
    entry.port = row.port;
    entry.address = row.address;
    entry.image = row.image;
    entry.sha256 = image.sha256;
    if (head.state != HeadState::NotTried) {
        entry.start = IsoUtc(head.started);
        entry.end = IsoUtc(head.ended);
    }
    entry.outcome = OutcomeText(head);
    entry.frames = head.framesAccepted;
    entry.resends = head.resends;
    return entry;
}

BusHead HeadFor(const PlanRow& row, const FleetPlan& plan, const CliOptions& options) {
    BusHead head;
    head.session = options.SessionFor(row.address);
    head.session.protocolIndex = row.protocolIndex;
    head.session.controlBaudRate = row.speed;
    head.image = &plan.images[row.imageIndex].bytes;
    head.protocolName = row.protocolName;
    head.row = row.line;
    head.label = row.label;
    return head;
}

std::string Seconds(double seconds) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f s", seconds);
    return text.data();
}

// Everything a plan run shares between its ports' threads.
class CPlanRun {
  public:
    CPlanRun(const CliOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options), m_err(err), m_json(out) {}

    RunEnd Run() {
        PlanLoad load = LoadPlan(m_options.planFile, m_options.image, m_options.noSwitch);
        if (!load.plan) {
            return Ended(
                load.exitStatus,
                load.exitStatus == exit_status::kImage ? "image unreadable" : "usage error",
                load.error);
        }
        m_plan = std::move(*load.plan);
        std::string error;
        if (!ReadResume(error) || !GroupIntoBuses(error) || !OpenOutputs(error) ||
            !StartSimulatedBuses(error)) {
            return m_reportFailed ? ReportFailed()
                                  : Ended(exit_status::kUsage, "usage error", error);
        }
        RunBuses();
        return Summarise();
    }

  private:
    bool ReadResume(std::string& error) {
        if (m_options.resumeFile.empty()) {
            return true;
        }
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::u8path(m_options.resumeFile), ec)) {
            error = "--resume: the report '" + m_options.resumeFile +
                    "' does not exist: give the report of the earlier run, or leave out --resume "
                    "to start afresh";
            return false;
        }
        auto record = ReadResumeReport(m_options.resumeFile, PlanBusName, error);
        if (!record) {
            return false;
        }
        if (record->tornLastLine) {
            m_err << "ptz-upgrade: --resume: the last line of '" << m_options.resumeFile
                  << "' is incomplete (the run was cut off while writing it): it is ignored\n";
        }
        m_resume = std::move(*record);
        return true;
    }

    // Rows that name one port, however spelled, are one bus; the parser has made sure that
    // no head is planned twice.
    bool GroupIntoBuses(std::string& /*error*/) {
        std::map<std::string, std::size_t> busOf;
        m_skipped.assign(m_plan.rows.size(), false);
        for (std::size_t i = 0; i < m_plan.rows.size(); ++i) {
            const PlanRow& row = m_plan.rows[i];
            const ReportKey key{row.bus, row.address, m_plan.images[row.imageIndex].sha256};
            const auto done = m_resume.upgraded.find(key);
            if (done != m_resume.upgraded.end()) {
                m_skipped[i] = true;
                m_skippedLines.push_back(done->second);
                continue;
            }
            const auto known = busOf.find(row.bus);
            if (known == busOf.end()) {
                busOf[row.bus] = m_buses.size();
                Bus bus;
                bus.port = row.port;
                bus.path = row.port;
                m_buses.push_back(std::move(bus));
            }
            Bus& bus = m_buses[busOf[row.bus]];
            bus.rows.push_back(i);
            bus.heads.push_back(HeadFor(row, m_plan, m_options));
        }
        return true;
    }

    bool OpenOutputs(std::string& error) {
        for (const PlanImage& image : m_plan.images) {
            for (const auto& [option, path] :
                 {std::pair<const char*, const std::string&>{"--report", m_options.reportFile},
                  {"--trace", m_options.traceFile}}) {
                if (!path.empty() && IsSameFile(path, image.path)) {
                    error = std::string(option) + " '" + path + "' is the image '" + image.path +
                            "': name another file for the output";
                    return false;
                }
            }
        }
        const std::string& reportPath =
            m_options.reportFile.empty() ? m_options.resumeFile : m_options.reportFile;
        if (!reportPath.empty() && IsSameFile(reportPath, m_options.planFile)) {
            error = "--report '" + reportPath + "' is the plan itself ('" + m_options.planFile +
                    "'): name another file for the report";
            return false;
        }
        if (!reportPath.empty()) {
            std::string note;
            if (!m_report.Open(reportPath, error, note)) {
                return false;
            }
            if (!note.empty()) {
                m_err << "ptz-upgrade: " << note << "\n";
            }
            // A new report names every head of the plan, those done before included.
            const bool sameFile =
                reportPath == m_options.resumeFile ||
                (!m_options.resumeFile.empty() && IsSameFile(reportPath, m_options.resumeFile));
            for (const std::string& line : sameFile ? std::vector<std::string>{} : m_skippedLines) {
                if (!m_report.Append(line)) {
                    m_reportFailed = true;
                    return false;
                }
            }
        }
        return m_options.traceFile.empty() || m_trace.Open(m_options.traceFile, error);
    }

    bool StartSimulatedBuses(std::string& error) {
        for (Bus& bus : m_buses) {
            if (bus.port != kSimPortName) {
                continue;
            }
            const PlanRow& first = m_plan.rows[bus.rows.front()];
            SimHeadSettings settings;
            settings.addresses.clear();
            for (const std::size_t row : bus.rows) {
                settings.addresses.push_back(m_plan.rows[row].address);
            }
            settings.pelcoP = first.protocolName == "pelco-p";
            settings.speed = first.speed;
            settings.noCommand = m_options.noSwitch;
            settings.echo = m_options.echo;
            auto sim = StartSimPort(settings, error);
            if (!sim) {
                return false;
            }
            m_err << SimAnnouncement(settings, first.protocolName, sim->Path()) << "\n";
            bus.path = sim->Path();
            m_sims.push_back(std::move(sim));
        }
        return true;
    }

    void RunBuses() {
        const ProgressStyle style = ChooseProgressStyle(m_options.quiet, StderrIsTerminal(),
                                                        m_options.json && StdoutIsTerminal());
        m_progress =
            std::make_unique<CProgressDisplay>(m_err, style, m_buses.size(), TerminalColumns);
        m_sinks.trace = m_trace.IsOpen() ? &m_trace : nullptr;
        m_sinks.json = m_options.json ? &m_json : nullptr;
        m_sinks.progress = m_progress.get();

        static std::atomic<bool> stop{false};
        InstallStopHandler(stop);

        const std::size_t jobs =
            m_options.jobs > 0
                ? std::min<std::size_t>(static_cast<std::size_t>(m_options.jobs), m_buses.size())
                : m_buses.size();
        for (std::size_t b = 0; b < m_buses.size(); ++b) {
            m_buses[b].context.port = m_buses[b].port;
            m_buses[b].context.portIndex = b;
            if (b >= jobs) {
                m_progress->Update(b, m_buses[b].port + ": waiting for a free job (--jobs)", false);
            }
        }
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> workers;
        for (std::size_t j = 0; j < jobs; ++j) {
            workers.emplace_back([&] {
                for (std::size_t b = next++; b < m_buses.size(); b = next++) {
                    RunOneBus(m_buses[b], stop);
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        m_progress->Finish();
        m_stopped = stop.load();
    }

    void RunOneBus(Bus& bus, const std::atomic<bool>& stop) {
        // A head whose end the report cannot keep would be flashed again by --resume, or
        // trusted from a torn line: once a line fails, no head starts.
        auto record = [&](std::size_t index, const HeadOutcome& head) {
            const PlanRow& row = m_plan.rows[bus.rows[index]];
            if (m_report.IsOpen() &&
                !m_report.Append(ReportLine(EntryFor(row, m_plan.images[row.imageIndex], head)))) {
                m_reportFailed = true;
            }
            return !m_reportFailed.load();
        };
        if (stop.load() || m_reportFailed.load()) {
            // Stopped before this port's turn: none of its heads was tried.
            for (std::size_t i = 0; i < bus.heads.size(); ++i) {
                HeadOutcome head;
                head.address = bus.heads[i].session.address;
                bus.outcome.heads.push_back(head);
                record(i, head);
            }
            bus.outcome.status = stop.load() ? UpgradeStatus::Stopped : UpgradeStatus::Done;
            return;
        }
        bus.outcome = RunBus(bus.path, bus.context, bus.heads, m_sinks, stop, record);
        m_progress->Update(bus.context.portIndex,
                           bus.port + ": " + DescribeHeads(bus.outcome.heads), false);
    }

    RunEnd Summarise() {
        for (const auto& sim : m_sims) {
            m_err << sim->Report() << "\n";
        }
        std::map<HeadState, int> counts;
        std::vector<const HeadOutcome*> byRow(m_plan.rows.size(), nullptr);
        for (Bus& bus : m_buses) {
            for (std::size_t i = 0; i < bus.outcome.heads.size(); ++i) {
                byRow[bus.rows[i]] = &bus.outcome.heads[i];
                ++counts[bus.outcome.heads[i].state];
            }
            const bool allUpgraded =
                bus.outcome.headsUpgraded == static_cast<int>(bus.outcome.heads.size());
            if (bus.outcome.status == UpgradeStatus::Done && !allUpgraded) {
                m_err << bus.port << ": " << DescribeHeads(bus.outcome.heads) << "\n";
            } else if (bus.outcome.status == UpgradeStatus::Done) {
                if (!m_options.quiet) {
                    m_err << bus.port << ": " << bus.outcome.headsUpgraded
                          << " head(s) upgraded in " << Seconds(bus.outcome.seconds) << "\n";
                }
            } else if (!bus.outcome.heads.empty() &&
                       bus.outcome.heads[0].state != HeadState::NotTried) {
                ReportPort(bus.outcome, bus.context, m_options, m_err);
            }
        }
        const auto skipped = std::count(m_skipped.begin(), m_skipped.end(), true);
        m_err << "plan " << m_options.planFile << ": " << m_plan.rows.size()
              << " head(s): " << counts[HeadState::Upgraded] << " upgraded";
        if (!m_options.resumeFile.empty()) {
            m_err << ", " << skipped << " skipped as upgraded before (" << m_options.resumeFile
                  << ")";
        }
        if (counts[HeadState::Failed] > 0) {
            m_err << ", " << counts[HeadState::Failed] << " failed";
        }
        if (counts[HeadState::NotTried] > 0) {
            m_err << ", " << counts[HeadState::NotTried] << " not tried";
        }
        m_err << "\n";
        if (m_report.IsOpen() && !m_report.Error().empty()) {
            m_err << "ptz-upgrade: " << m_report.Error()
                  << ": the report misses heads; see the lines above for what was done\n";
        }

        RunEnd end;
        std::string heads;
        for (std::size_t i = 0; i < m_plan.rows.size(); ++i) {
            const PlanRow& row = m_plan.rows[i];
            heads += heads.empty() ? "[" : ",";
            if (byRow[i] == nullptr) {
                heads += "{\"port\":" + JsonString(row.port) +
                         ",\"row\":" + std::to_string(row.line) +
                         ",\"label\":" + JsonString(row.label) +
                         ",\"address\":" + std::to_string(row.address) + ",\"state\":\"skipped\"}";
                continue;
            }
            const HeadOutcome& head = *byRow[i];
            heads += HeadJson(head, row.port, row.line, row.label);
            const bool failed =
                head.state == HeadState::Failed && head.status != UpgradeStatus::Stopped;
            if (failed && end.status == exit_status::kSuccess) {
                end = Ended(ExitStatusOf(head.status), DescribeStatus(head.status), head.message);
            }
        }
        if (m_reportFailed) {
            end = ReportFailed();
        } else if (m_stopped) {
            end = Ended(exit_status::kInterrupted, DescribeStatus(UpgradeStatus::Stopped),
                        "stopped on request");
        } else if (end.status == exit_status::kSuccess && counts[HeadState::NotTried] > 0) {
            end = Ended(exit_status::kNoAnswer, "not tried", "heads were not tried");
        }
        end.heads = heads + "]";
        end.told = true;
        return end;
    }

    // Without its record the run cannot be trusted or resumed: that comes before any head's
    // failure.
    RunEnd ReportFailed() const {
        return Ended(exit_status::kReport, "report not written", m_report.Error());
    }

    const CliOptions& m_options;
    std::ostream& m_err;
    FleetPlan m_plan;
    ResumeRecord m_resume;
    std::vector<bool> m_skipped;
    std::vector<std::string> m_skippedLines;
    std::vector<Bus> m_buses;
    std::vector<std::unique_ptr<CSimPort>> m_sims;
    CPlanReport m_report;
    CTraceFile m_trace;
    CJsonStream m_json;
    std::unique_ptr<CProgressDisplay> m_progress;
    EventSinks m_sinks;
    bool m_stopped = false;
    std::atomic<bool> m_reportFailed{false};  // a report line did not go out whole
};

}  // namespace

RunEnd RunPlan(const CliOptions& options, std::ostream& out, std::ostream& err) {
    return CPlanRun(options, out, err).Run();
}
