// Every run of ptz-upgrade with --json: each stdout line as docs/json-events.md lists it.
#include <gtest/gtest.h>

#include <algorithm>

#include "json_event_check.h"
#include "output_check.h"

void CheckProgramOutput(const std::vector<std::string>& argv, const std::string& out) {
    const std::string program = "ptz-upgrade";
    const bool loader =
        !argv.empty() && argv[0].size() >= program.size() &&
        argv[0].compare(argv[0].size() - program.size(), program.size(), program) == 0;
    if (!loader || std::find(argv.begin(), argv.end(), "--json") == argv.end()) {
        return;
    }
    for (const std::string& problem : UndocumentedJson(out)) {
        ADD_FAILURE() << "--json: " << problem;
    }
}
