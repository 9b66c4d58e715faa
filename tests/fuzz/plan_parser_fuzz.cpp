// The plan parser on arbitrary text, with and without --no-switch: nothing escapes it, a
// refusal names the plan and shows no control character, and an accepted plan holds no head
// twice, only printable fields and heads this program can upgrade.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "fleet_plan.h"
#include "fuzz_check.h"
#include "network_port_name.h"
#include "port_identity.h"
#include "safe_text.h"

namespace {

// Folds spellings as the real namer does, without touching the file system.
std::string Fold(const std::string& port) {
    return IsNetworkPortName(port) ? CanonicalPortName(port) : WindowsDeviceName(port);
}

void CheckAccepted(const std::vector<PlanRow>& rows, bool noSwitch) {
    FuzzRequire(!rows.empty(), "an accepted plan has heads");
    std::set<std::pair<std::string, int>> heads;
    std::set<std::string> buses;
    for (const PlanRow& row : rows) {
        FuzzRequire(row.bus == Fold(row.port), "a row's bus is its port's canonical name");
        FuzzRequire(heads.insert({row.bus, row.address}).second, "no head twice");
        FuzzRequire(!noSwitch || buses.insert(row.bus).second, "--no-switch: one head a port");
        FuzzRequire(row.address >= 1, "addresses are 1..255");
        FuzzRequire(
            row.speed == 2400 || row.speed == 4800 || row.speed == 9600 || row.speed == 19200,
            "control speed is one of the four");
        FuzzRequire(row.protocolName == "pelco-d" || row.protocolName == "pelco-p",
                    "protocol is known");
        FuzzRequire(!row.port.empty(), "every row names its port");
        for (const std::string* field : {&row.port, &row.image, &row.label}) {
            FuzzRequire(!FindControlCharacter(*field), "fields are printable text");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const bool noSwitch : {false, true}) {
        PlanRules rules;
        rules.noSwitch = noSwitch;
        rules.busOf = Fold;
        std::string error;
        const auto rows = ParsePlan(text, "p.csv", rules, error);
        if (rows) {
            CheckAccepted(*rows, noSwitch);
            continue;
        }
        FuzzRequire(error.rfind("p.csv", 0) == 0, "a refusal names the plan");
        FuzzRequire(!FindControlCharacter(error), "a refusal shows no control character");
    }
    return 0;
}
