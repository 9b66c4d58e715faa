// What ptz-upgrade does once its command line is understood: list ports, inspect or emit an
// image, or upgrade heads on one or more ports. Returns the exit status.
#pragma once

#include <ostream>
#include <string>

#include "cli_options.h"
#include "json_events.h"

int RunLoader(const CliOptions& options, std::ostream& out, std::ostream& err);

// With --json, the object every run ends with: the exit status, what it means, the first failure
// and, when heads were tried, every head's state.
void WriteRunResult(std::ostream& out, int exitStatus, const std::string& what,
                    const std::string& message, const JsonObject& heads = nullptr);
