// What every end-to-end run of a program gets checked for once it has ended, whatever the test
// looks at itself: test binaries take json_output_check.cpp, benchmarks no_output_check.cpp.
#pragma once

#include <string>
#include <vector>

void CheckProgramOutput(const std::vector<std::string>& argv, const std::string& out);
