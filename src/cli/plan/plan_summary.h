// The table that ends a plan's run on the terminal: each bus's heads by how they ended.
#pragma once

#include <string>
#include <vector>

#include "fleet_plan.h"
#include "json_events.h"
#include "port_run.h"

struct BusTally {
    std::string port;  // as the plan's first row of the bus names it
    int upgraded = 0;
    int failed = 0;
    int notTried = 0;
    int skipped = 0;  // upgraded before, by --resume
};

// One line per bus in the plan's order, then the totals, columns aligned; each line ends in
// a line end.
std::string BusTable(const std::vector<BusTally>& buses);

// Every bus of the plan, those that --resume left nothing to do included, in the plan's order;
// `skipped` and `outcomes` by plan row.
std::vector<BusTally> TallyBuses(const FleetPlan& plan, const std::vector<bool>& skipped,
                                 const std::vector<HeadOutcome>& outcomes);

// Every head of the plan in its order, as the JSON array of the closing --json result
// ("skipped" for those --resume left out).
JsonObject PlanHeadsJson(const FleetPlan& plan, const std::vector<bool>& skipped,
                         const std::vector<HeadOutcome>& outcomes);
