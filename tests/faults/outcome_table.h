// The fault matrix's report: each test records the fault it played, the front end and what
// happened; at the end of the run one table lists every row with the test's verdict.
#pragma once

#include <string>

namespace faults {
// Records one row for the running test (a test may record several).
void Record(const std::string& fault, const std::string& frontEnd, const std::string& outcome);
}  // namespace faults
