#include "plan_heads.h"

#include <map>
#include <utility>

namespace {

std::string OutcomeText(const HeadOutcome& head) {
    switch (head.state) {
        case HeadState::Upgraded:
            return kUpgradedOutcome;
        case HeadState::Failed:
            return std::string("failed: ") + DescribeStatus(head.status);
        case HeadState::NotTried:
            break;
    }
    return head.notTriedWhy.empty() ? "not tried" : "not tried: " + head.notTriedWhy;
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

}  // namespace

std::vector<Bus> GroupPlanIntoBuses(const FleetPlan& plan, const CliOptions& options,
                                    const ResumeRecord& resume, std::vector<bool>& skipped,
                                    std::vector<std::string>& skippedLines) {
    std::vector<Bus> buses;
    std::map<std::string, std::size_t> busOf;
    int canaries = 0;
    skipped.assign(plan.rows.size(), false);
    for (std::size_t i = 0; i < plan.rows.size(); ++i) {
        const PlanRow& row = plan.rows[i];
        const ReportKey key{row.bus, row.address, plan.images[row.imageIndex].sha256};
        const auto done = resume.upgraded.find(key);
        if (done != resume.upgraded.end()) {
            skipped[i] = true;
            skippedLines.push_back(done->second);
            continue;
        }
        if (busOf.count(row.bus) == 0) {
            busOf[row.bus] = buses.size();
            Bus bus;
            bus.port = row.port;
            bus.path = row.port;
            buses.push_back(std::move(bus));
        }
        Bus& bus = buses[busOf[row.bus]];
        if (canaries < options.canary) {
            ++canaries;
            ++bus.canaries;
        }
        bus.rows.push_back(i);
        bus.heads.push_back(HeadFor(row, plan, options));
    }
    return buses;
}

void MergeHeads(PortOutcome& bus, const PortOutcome& part) {
    if (part.status != UpgradeStatus::Done &&
        (bus.status == UpgradeStatus::Done || part.status == UpgradeStatus::Stopped)) {
        bus.status = part.status;
        bus.message = part.message;
        bus.address = part.address;
        bus.frameReached = part.frameReached;
    } else if (bus.status == UpgradeStatus::Done) {
        bus.address = part.address;
    }
    bus.headsUpgraded += part.headsUpgraded;
    bus.framesTotal = part.framesTotal;
    bus.seconds += part.seconds;
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
