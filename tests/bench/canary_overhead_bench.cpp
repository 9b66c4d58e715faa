// What a canary costs a site: the same 16-head plan (4 simulated buses of 4 heads, ptz-headsim
// paced at 115200 bit/s) with --canary 1 and without. The canary runs alone before the buses
// start, so the expected cost is one head's time: 5 heads' time over 4. Prints figures and
// never fails on a slow machine.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_line.h"
#include "spawn_quiet.h"

namespace {

constexpr int kBuses = 4;
constexpr int kHeadsPerBus = 4;

// Seconds of one plan run, and how many heads its report lists as upgraded.
std::pair<double, int> RunPlan(const std::string& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {PTZ_UPGRADE_EXE,     "--plan", dir + "/plan.csv", "--report",
                                     dir + "/report.csv", "-q"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(dir + "/fw.bin");
    std::filesystem::remove(dir + "/report.csv");
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Spawn(argv);
    waitpid(pid, nullptr, 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {seconds, bench::UpgradedInReport(dir + "/report.csv")};
}

}  // namespace

int main() {
    const std::string dir = bench::ScratchFolder("ptz-canary-bench");
    if (dir.empty()) {
        return 0;
    }
    bench::WriteImage(dir + "/fw.bin", 2);
    std::vector<pid_t> heads;
    std::string plan = "port,address,protocol,speed\n";
    for (int bus = 0; bus < kBuses; ++bus) {
        const std::string link = dir + "/bus" + std::to_string(bus);
        heads.push_back(Spawn({PTZ_HEADSIM_EXE, "--link", link, "--address", "1-4"}));
        for (int head = 1; head <= kHeadsPerBus; ++head) {
            plan += link + "," + std::to_string(head) + ",pelco-d,2400\n";
        }
        bench::WaitForPath(link);
    }
    std::ofstream(dir + "/plan.csv") << plan;

    const auto [plain, plainUpgraded] = RunPlan(dir, {});
    const auto [canary, canaryUpgraded] = RunPlan(dir, {"--canary", "1"});
    for (const pid_t head : heads) {
        kill(head, SIGTERM);
        waitpid(head, nullptr, 0);
    }
    std::printf("%d heads on %d buses, 8192-byte image, ptz-headsim paced at 115200 bit/s\n",
                kBuses * kHeadsPerBus, kBuses);
    std::printf("  without --canary %.2f s (%d upgraded); with --canary 1 %.2f s (%d upgraded)\n",
                plain, plainUpgraded, canary, canaryUpgraded);
    std::printf("  ratio %.3f (one head's time more: expected %.3f)\n", canary / plain,
                (kHeadsPerBus + 1.0) / kHeadsPerBus);
    std::filesystem::remove_all(dir);
    return 0;
}
