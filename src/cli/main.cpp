// ptz-upgrade: the command-line loader. Parse, run, report through the exit status.
#include <iostream>

#include "cli_options.h"
#include "loader.h"

int main(int argc, char** argv) {
    const ParseOutcome parsed = ParseCommandLine(argc, argv, std::cout, std::cerr);
    if (parsed.exitNow) {
        return *parsed.exitNow;
    }
    return RunLoader(parsed.options, std::cout, std::cerr);
}
