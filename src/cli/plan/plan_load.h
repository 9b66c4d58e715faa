// --plan FILE read whole: the plan and every image it names, each read once, before any port
// opens.
#pragma once

#include <optional>
#include <string>

#include "fleet_plan.h"

struct PlanLoad {
    std::optional<FleetPlan> plan;
    int exitStatus = 0;  // with no plan: a usage error, or an unreadable command-line image
    std::string error;
};

// Reads the plan (a regular file of at most 16 MiB) and every image it names (relative paths
// from the plan's folder); rows without an image take `defaultImage`, the command line's.
PlanLoad LoadPlan(const std::string& planPath, const std::string& defaultImage, bool noSwitch);
