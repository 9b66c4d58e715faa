// ptz-upgrade: the command-line loader. Parse, run, report through the exit status.
#include <iostream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "exit_status.h"
#include "loader.h"
#include "utf8_io.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    pointers.reserve(args.size());
    for (const std::string& arg : args) {
        pointers.push_back(arg.c_str());
    }
    const ParseOutcome parsed =
        ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), std::cout, std::cerr);
    if (parsed.exitNow) {
        if (parsed.json && *parsed.exitNow == exit_status::kUsage) {
            WriteRunResult(std::cout, *parsed.exitNow, "usage error", parsed.usageError);
        }
        return *parsed.exitNow;
    }
    return RunLoader(parsed.options, std::cout, std::cerr);
}
