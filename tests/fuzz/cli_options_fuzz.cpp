// The command line of ptz-upgrade on arbitrary argument vectors (the input split at NUL bytes):
// nothing escapes the parser, every refusal is a usage error with a message, and whatever it
// accepts is a command line the loader can run.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "exit_status.h"
#include "fuzz_check.h"

namespace {

constexpr std::size_t kMaxArguments = 64;

std::vector<std::string> SplitAtNul(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"ptz-upgrade"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < kMaxArguments; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < kMaxArguments && !current.empty()) {
        args.push_back(current);
    }
    return args;
}

void CheckAccepted(const CliOptions& o) {
    if (o.listPorts) {
        return;  // the other options are not looked at
    }
    FuzzRequire(!o.image.empty(), "an accepted command line names the image");
    FuzzRequire(!o.addresses.empty(), "an accepted command line has an address");
    std::vector<bool> seen(256, false);
    for (const std::uint8_t address : o.addresses) {
        FuzzRequire(address >= 1, "addresses are 1..255");
        FuzzRequire(!seen[address], "no address twice");
        seen[address] = true;
    }
    FuzzRequire(!o.noSwitch || o.addresses.size() == 1, "--no-switch takes one address");
    FuzzRequire(o.speed == 2400 || o.speed == 4800 || o.speed == 9600 || o.speed == 19200,
                "control speed is one of the four");
    FuzzRequire(o.protocolName == "pelco-d" || o.protocolName == "pelco-p", "protocol is known");
    FuzzRequire(o.retries >= 0 && o.ackDelayMs >= 0, "counts are not negative");
    FuzzRequire(o.switchPauseMs >= session::kMinSwitchPauseMs, "switch pause at least the least");
    FuzzRequire(std::isfinite(o.answerTimeoutSeconds) && o.answerTimeoutSeconds > 0,
                "answer time limit is a positive number");
    const UpgradeSessionOptions session = o.SessionFor(o.addresses.front());
    FuzzRequire(session.answerTimeoutMs >= 1, "a session waits at least a millisecond");
    if (o.inspect || !o.emitFile.empty()) {
        return;  // no port is opened
    }
    FuzzRequire(!o.ports.empty(), "a run has a port");
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        FuzzRequire(!o.ports[i].empty(), "no empty port name");
        for (std::size_t j = i + 1; j < o.ports.size(); ++j) {
            FuzzRequire(o.ports[i] != o.ports[j] || o.ports[i] == "sim", "no port twice");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> args = SplitAtNul(data, size);
    std::vector<const char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    std::ostringstream out;
    std::ostringstream err;
    const ParseOutcome outcome =
        ParseCommandLine(static_cast<int>(args.size()), argv.data(), out, err);
    if (!outcome.exitNow) {
        CheckAccepted(outcome.options);
        FuzzRequire(err.str().empty(), "an accepted command line writes no error");
        return 0;
    }
    if (*outcome.exitNow == exit_status::kSuccess) {
        FuzzRequire(!out.str().empty(), "help or version is printed");
        return 0;
    }
    FuzzRequire(*outcome.exitNow == exit_status::kUsage, "every refusal is a usage error");
    FuzzRequire(!outcome.usageError.empty(), "a refusal says why");
    FuzzRequire(!err.str().empty(), "a refusal is written to stderr");
    return 0;
}
