#include "plan_run.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"
#include "fleet_plan.h"
#include "image_file.h"
#include "json_events.h"
#include "plan_heads.h"
#include "plan_load.h"
#include "plan_report.h"
#include "plan_summary.h"
#include "port_run.h"
#include "rollout_gate.h"
#include "sim_port.h"

namespace {

constexpr const char* kSimPortName = "sim";

std::string Seconds(double seconds) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f s", seconds);
    return text.data();
}

// Everything a plan run shares between its ports' threads.
class CPlanRun {
  public:
    CPlanRun(const CliOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options), m_err(err), m_json(out), m_gate(options.maxFailures) {}

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
        if (ReadResume(error)) {
            m_buses = GroupPlanIntoBuses(m_plan, m_options, m_resume, m_skipped, m_skippedLines);
            m_outcomes.resize(m_plan.rows.size());
        }
        if (!error.empty() || !OpenOutputs(error) || !StartSimulatedBuses(error)) {
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
            std::vector<int> addresses;
            for (const std::size_t row : bus.rows) {
                addresses.push_back(m_plan.rows[row].address);
            }
            auto sim =
                StartSimBus(addresses, first.protocolName, first.speed, m_options, m_err, error);
            if (!sim) {
                return false;
            }
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
        // The canaries one at a time, in the plan's order; the rest only after them.
        for (const std::size_t b : CanaryOrder()) {
            RunHeads(m_buses[b], 1, stop);
        }
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> workers;
        for (std::size_t j = 0; j < jobs; ++j) {
            workers.emplace_back([&] {
                for (std::size_t b = next++; b < m_buses.size(); b = next++) {
                    RunHeads(m_buses[b], m_buses[b].heads.size() - m_buses[b].canaries, stop);
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        m_progress->Finish();
        m_stopped = stop.load();
    }

    // The bus of each canary, in the plan's order.
    std::vector<std::size_t> CanaryOrder() const {
        std::vector<std::pair<std::size_t, std::size_t>> canaries;  // plan row, bus
        for (std::size_t b = 0; b < m_buses.size(); ++b) {
            for (std::size_t i = 0; i < m_buses[b].canaries; ++i) {
                canaries.emplace_back(m_buses[b].rows[i], b);
            }
        }
        std::sort(canaries.begin(), canaries.end());
        std::vector<std::size_t> order;
        order.reserve(canaries.size());
        for (const auto& canary : canaries) {
            order.push_back(canary.second);
        }
        return order;
    }

    // Upgrades the bus's next `count` heads (after those it has done), by the batch rules of a
    // port run; each head's end is kept and reported as it happens.
    void RunHeads(Bus& bus, std::size_t count, const std::atomic<bool>& stop) {
        const std::size_t first = bus.done;
        bus.done += count;
        if (count == 0) {
            return;
        }
        const std::vector<BusHead> heads(
            bus.heads.begin() + static_cast<std::ptrdiff_t>(first),
            bus.heads.begin() + static_cast<std::ptrdiff_t>(first + count));
        // A head whose end the report cannot keep would be flashed again by --resume, or
        // trusted from a torn line: once a line fails, no head starts; nor once the rollout
        // has halted.
        auto record = [&](std::size_t index, const HeadOutcome& ended) {
            HeadOutcome head = ended;
            if (head.state == HeadState::NotTried) {
                head.notTriedWhy = m_gate.Why();
            } else if (m_gate.OnHeadEnded(head, first + index < bus.canaries)) {
                TellHalted(bus, first + index);
            }
            Keep(bus, first + index, head);
            return !m_reportFailed.load() && !m_gate.Halted();
        };
        if (stop.load() || m_reportFailed.load() || m_gate.Halted()) {
            // Stopped before these heads' turn: none of them was tried.
            for (std::size_t i = 0; i < count; ++i) {
                HeadOutcome head;
                head.address = heads[i].session.address;
                record(i, head);
            }
            if (stop.load() && bus.outcome.status == UpgradeStatus::Done) {
                bus.outcome.status = UpgradeStatus::Stopped;
            }
            return;
        }
        MergeHeads(bus.outcome, RunBus(bus.path, bus.context, heads, m_sinks, stop, record));
        m_progress->Update(bus.context.portIndex, bus.port + ": " + DescribeHeads(BusHeads(bus)),
                           false);
    }

    void Keep(const Bus& bus, std::size_t index, const HeadOutcome& head) {
        const std::size_t row = bus.rows[index];
        m_outcomes[row] = head;
        const PlanRow& planRow = m_plan.rows[row];
        if (m_report.IsOpen() && !m_report.Append(ReportLine(
                                     EntryFor(planRow, m_plan.images[planRow.imageIndex], head)))) {
            m_reportFailed = true;
        }
    }

    // Said once, as it happens, to machines; people read it at the end.
    void TellHalted(const Bus& bus, std::size_t index) {
        const PlanRow& row = m_plan.rows[bus.rows[index]];
        const std::string why = m_gate.Why();
        m_halt = why == kCanaryFailed
                     ? "the canary, head " + std::to_string(row.address) + " on " + row.port +
                           " (line " + std::to_string(row.line) + "), was not upgraded"
                     : std::to_string(m_gate.Failures()) + " head(s) failed (--max-failures " +
                           std::to_string(m_options.maxFailures) + ")";
        if (m_options.json) {
            JsonObject event = JsonEvent("halted");
            event["why"] = why;
            event["port"] = row.port;
            event["address"] = row.address;
            event["row"] = row.line;
            event["failed"] = m_gate.Failures();
            m_json.Write(event);
        }
    }

    // The bus's heads as they ended, in its order.
    std::vector<HeadOutcome> BusHeads(const Bus& bus) const {
        std::vector<HeadOutcome> heads;
        for (const std::size_t row : bus.rows) {
            heads.push_back(m_outcomes[row]);
        }
        return heads;
    }

    RunEnd Summarise() {
        for (const auto& sim : m_sims) {
            m_err << sim->Report() << "\n";
        }
        std::map<HeadState, int> counts;
        for (Bus& bus : m_buses) {
            bus.outcome.heads = BusHeads(bus);
            for (const HeadOutcome& head : bus.outcome.heads) {
                ++counts[head.state];
            }
            TellBus(bus);
        }
        TellPlan(counts);

        RunEnd end;
        for (std::size_t i = 0; i < m_plan.rows.size(); ++i) {
            const HeadOutcome& head = m_outcomes[i];
            const bool failed = !m_skipped[i] && head.state == HeadState::Failed &&
                                head.status != UpgradeStatus::Stopped;
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
        end.heads = PlanHeadsJson(m_plan, m_skipped, m_outcomes);
        end.told = true;
        return end;
    }

    // The bus's end on stderr: its heads by name unless all were upgraded; every failure in
    // full.
    void TellBus(const Bus& bus) const {
        const bool allUpgraded =
            bus.outcome.headsUpgraded == static_cast<int>(bus.outcome.heads.size());
        if (bus.outcome.status == UpgradeStatus::Done && !allUpgraded) {
            m_err << bus.port << ": " << DescribeHeads(bus.outcome.heads) << "\n";
        } else if (bus.outcome.status == UpgradeStatus::Done) {
            if (!m_options.quiet) {
                m_err << bus.port << ": " << bus.outcome.headsUpgraded << " head(s) upgraded in "
                      << Seconds(bus.outcome.seconds) << "\n";
            }
        } else if (!bus.outcome.heads.empty() &&
                   bus.outcome.heads[0].state != HeadState::NotTried) {
            ReportPort(bus.outcome, bus.context, m_options, m_err);
        }
    }

    // The plan's end on stderr: why a rollout halted, the table of buses, the counts.
    void TellPlan(std::map<HeadState, int>& counts) const {
        if (!m_halt.empty()) {
            m_err << "ptz-upgrade: the rollout halted: " << m_halt << "; "
                  << counts[HeadState::NotTried]
                  << " head(s) not tried. Look into the failure, then run again with --resume "
                     "to go on from here.\n";
        }
        if (!m_options.quiet) {
            m_err << BusTable(TallyBuses(m_plan, m_skipped, m_outcomes));
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
    std::vector<HeadOutcome> m_outcomes;  // by plan row; each written by its bus's thread alone
    std::vector<std::unique_ptr<CSimPort>> m_sims;
    CPlanReport m_report;
    CTraceFile m_trace;
    CJsonStream m_json;
    std::unique_ptr<CProgressDisplay> m_progress;
    EventSinks m_sinks;
    bool m_stopped = false;
    std::atomic<bool> m_reportFailed{false};  // a report line did not go out whole
    CRolloutGate m_gate;
    std::string m_halt;  // why the rollout halted, for people; written by the halting thread
};

}  // namespace

RunEnd RunPlan(const CliOptions& options, std::ostream& out, std::ostream& err) {
    return CPlanRun(options, out, err).Run();
}
