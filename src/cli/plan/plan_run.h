// --plan: the scheduler of a site's heads. Heads that share a port go one after another, by the
// batch rules of a port run; ports run in parallel, at most --jobs at a time. Each head's end
// is appended to the --report as it happens; --resume skips the heads a report lists as upgraded
// with the same image. The upgrade itself is the shared session's.
#pragma once

#include <ostream>

#include "cli_options.h"
#include "run_outcome.h"

RunEnd RunPlan(const CliOptions& options, std::ostream& out, std::ostream& err);
