#include "plan_summary.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

#include "run_outcome.h"

namespace {

std::string Line(const std::string& port, std::size_t width,
                 const std::array<std::string, 4>& cells) {
    std::string line = port + std::string(width - std::min(width, port.size()), ' ');
    // Each count right-aligned under its heading.
    const std::array<std::size_t, 4> widths = {8, 6, 9, 7};
    for (std::size_t i = 0; i < cells.size(); ++i) {
        line +=
            "  " + std::string(widths[i] - std::min(widths[i], cells[i].size()), ' ') + cells[i];
    }
    return line + "\n";
}

std::array<std::string, 4> Counts(const BusTally& tally) {
    return {std::to_string(tally.upgraded), std::to_string(tally.failed),
            std::to_string(tally.notTried), std::to_string(tally.skipped)};
}

}  // namespace

std::string BusTable(const std::vector<BusTally>& buses) {
    BusTally total;
    total.port = "all ports";
    std::size_t width = total.port.size();
    for (const BusTally& bus : buses) {
        width = std::max(width, bus.port.size());
        total.upgraded += bus.upgraded;
        total.failed += bus.failed;
        total.notTried += bus.notTried;
        total.skipped += bus.skipped;
    }
    std::string table = Line("port", width, {"upgraded", "failed", "not tried", "skipped"});
    for (const BusTally& bus : buses) {
        table += Line(bus.port, width, Counts(bus));
    }
    return table + Line(total.port, width, Counts(total));
}

std::vector<BusTally> TallyBuses(const FleetPlan& plan, const std::vector<bool>& skipped,
                                 const std::vector<HeadOutcome>& outcomes) {
    std::map<std::string, std::size_t> busOf;
    std::vector<BusTally> tallies;
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        if (busOf.count(row.bus) == 0) {
            busOf[row.bus] = tallies.size();
            tallies.push_back(BusTally{row.port});
        }
        BusTally& tally = tallies[busOf[row.bus]];
        if (skipped[i]) {
            ++tally.skipped;
            continue;
        }
        switch (outcomes[i].state) {
            case HeadState::Upgraded:
                ++tally.upgraded;
                break;
            case HeadState::Failed:
                ++tally.failed;
                break;
            case HeadState::NotTried:
                ++tally.notTried;
                break;
        }
    }
    return tallies;
}

JsonObject PlanHeadsJson(const FleetPlan& plan, const std::vector<bool>& skipped,
                         const std::vector<HeadOutcome>& outcomes) {
    JsonObject heads = JsonObject::array();
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        if (skipped[i]) {
            heads.push_back(JsonObject{{"port", row.port},
                                       {"row", row.line},
                                       {"label", row.label},
                                       {"address", row.address},
                                       {"state", "skipped"}});
            continue;
        }
        heads.push_back(HeadJson(outcomes[i], row.port, row.line, row.label));
    }
    return heads;
}
