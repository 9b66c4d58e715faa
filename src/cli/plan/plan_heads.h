// A plan's heads grouped by the port they share: what each bus upgrades, how its parts add
// up, and each head's report line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli_options.h"
#include "fleet_plan.h"
#include "plan_report.h"
#include "port_run.h"
#include "run_context.h"

// The heads of one port that this run upgrades, in the plan's order.
struct Bus {
    std::string port;               // as its first row names it
    std::string path;               // what is opened: the port itself, or the simulated head's pty
    std::vector<std::size_t> rows;  // into the plan's rows
    std::vector<BusHead> heads;
    std::size_t canaries = 0;  // the first heads of `heads` are canaries of the rollout
    std::size_t done = 0;      // heads run or told as not tried so far
    RunContext context;
    PortOutcome outcome;
};

// Rows that name one port, however spelled, are one bus (the parser has made sure that no head
// is planned twice). Heads the resumed report lists as upgraded are left out: `skipped` marks
// their rows and `skippedLines` keeps their report lines. The first --canary heads to do, in the
// plan's order, are their buses' first heads.
std::vector<Bus> GroupPlanIntoBuses(const FleetPlan& plan, const CliOptions& options,
                                    const ResumeRecord& resume, std::vector<bool>& skipped,
                                    std::vector<std::string>& skippedLines);

// Adds the end of some heads of a bus to what the bus did before: its first failure stays,
// unless the later part was stopped.
void MergeHeads(PortOutcome& bus, const PortOutcome& part);

// The head's line in the report.
ReportEntry EntryFor(const PlanRow& row, const PlanImage& image, const HeadOutcome& head);
