// What ptz-upgrade does once its command line is understood: list ports, inspect or emit an
// image, or upgrade heads on one or more ports. Returns the exit status.
#pragma once

#include <ostream>

#include "cli_options.h"

int RunLoader(const CliOptions& options, std::ostream& out, std::ostream& err);
