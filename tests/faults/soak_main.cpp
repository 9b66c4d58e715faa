// ptz_soak: consecutive upgrades against ptz-headsim with faults drawn at random, alternately
// through ptz-upgrade and through the window program on its headless backend. Reports upgrades
// completed, faults survived, hangs, false successes and memory; exits 1 if any of those is
// wrong. Not part of the test suite: scripts/soak.sh runs it.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "soak_runs.h"

namespace {
struct Tally {
    int upgrades = 0;
    int completed = 0;
    int faultsSurvived = 0;
    int hangs = 0;
    int falseSuccesses = 0;
    int unexpected = 0;
};

// A line of /proc/self/status in KiB (VmRSS: now, VmHWM: peak so far).
long StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return 0;
}

int Usage() {
    std::cerr << "usage: ptz_soak --upgrade PATH --headsim PATH [--count N] [--seed S]\n";
    return 2;
}

bool Contains(const std::vector<soak::End>& ends, soak::End end) {
    return std::find(ends.begin(), ends.end(), end) != ends.end();
}
}  // namespace

int main(int argc, char** argv) {
    soak::Programs programs;
    int count = 200;
    unsigned seed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--upgrade") {
            programs.upgrade = value;
        } else if (option == "--headsim") {
            programs.headsim = value;
        } else if (option == "--count") {
            count = std::max(2, std::atoi(value.c_str()));
        } else if (option == "--seed") {
            seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        } else {
            return Usage();
        }
    }
    if (programs.upgrade.empty() || programs.headsim.empty() || argc % 2 == 0) {
        return Usage();
    }
    char pattern[] = "/tmp/ptz-soak-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::cerr << "ptz_soak: cannot make a folder in /tmp\n";
        return 1;
    }
    programs.dir = pattern;
    std::cout << "ptz_soak: " << count << " upgrades, seed " << seed << "\n" << std::flush;

    std::mt19937 random(seed);
    Tally tally;
    long windowRssStart = 0;
    long cliPeakStart = 0;
    long cliPeakEnd = 0;
    const int warmUp = std::min(10, count / 2);
    {
        soak::WindowOperator window(programs);
        for (int i = 0; i < count; ++i) {
            const soak::Draw draw = soak::DrawFault(random);
            const bool throughWindow = i % 2 == 1;
            const soak::Outcome outcome =
                throughWindow ? window.Run(draw) : soak::RunCommandLine(programs, draw);
            const auto& acceptable = throughWindow ? draw.fault.window : draw.fault.cli;
            const bool whole = outcome.received == soak::Padded(draw.image);
            ++tally.upgrades;
            tally.hangs += outcome.end == soak::End::Hang ? 1 : 0;
            tally.falseSuccesses += outcome.successClaimed && !whole ? 1 : 0;
            tally.completed += outcome.successClaimed && whole ? 1 : 0;
            const bool expected = Contains(acceptable, outcome.end) &&
                                  (!draw.fault.recoverable || (outcome.successClaimed && whole));
            if (expected && draw.fault.name != "none") {
                ++tally.faultsSurvived;
            }
            if (!expected || (outcome.successClaimed && !whole)) {
                ++tally.unexpected;
                std::cout << "  #" << i << " " << (throughWindow ? "window" : "ptz-upgrade") << ", "
                          << draw.fault.name << ", " << draw.image.size()
                          << " bytes: " << soak::EndName(outcome.end) << " (" << outcome.detail
                          << ")" << (outcome.successClaimed && !whole ? ", IMAGE NOT WHOLE" : "")
                          << "\n";
            }
            if (!throughWindow) {
                (i < 2 * warmUp ? cliPeakStart : cliPeakEnd) =
                    std::max(i < 2 * warmUp ? cliPeakStart : cliPeakEnd, outcome.peakKiB);
            }
            if (i + 1 == warmUp) {
                windowRssStart = StatusKiB("VmRSS");
            }
            if ((i + 1) % 20 == 0) {
                std::cout << "  " << i + 1 << " upgrades, RSS " << StatusKiB("VmRSS") << " KiB\n"
                          << std::flush;
            }
        }
    }
    const long windowRssEnd = StatusKiB("VmRSS");
    std::error_code ec;
    std::filesystem::remove_all(programs.dir, ec);

    // The window's memory may settle a little after the warm-up; growth with the count would not.
    const bool memoryGrew = windowRssEnd > windowRssStart + windowRssStart / 10 + 1024 ||
                            cliPeakEnd > cliPeakStart + cliPeakStart / 10 + 1024;
    std::cout << "upgrades:                " << tally.upgrades << " (" << (count + 1) / 2
              << " ptz-upgrade, " << count / 2 << " window)\n"
              << "upgrades completed:      " << tally.completed << "\n"
              << "faults survived:         " << tally.faultsSurvived << "\n"
              << "unexpected outcomes:     " << tally.unexpected << "\n"
              << "hangs:                   " << tally.hangs << "\n"
              << "false successes:         " << tally.falseSuccesses << "\n"
              << "window process RSS:      " << windowRssStart << " KiB after " << warmUp
              << " upgrades, " << windowRssEnd << " KiB at the end\n"
              << "ptz-upgrade peak RSS:    " << cliPeakStart << " KiB (first " << warmUp
              << " runs), " << cliPeakEnd << " KiB (the rest)\n"
              << "memory:                  " << (memoryGrew ? "GREW" : "steady") << "\n";
    const bool sound =
        tally.hangs == 0 && tally.falseSuccesses == 0 && tally.unexpected == 0 && !memoryGrew;
    std::cout << (sound ? "soak passed" : "soak FAILED") << std::endl;
    return sound ? 0 : 1;
}
