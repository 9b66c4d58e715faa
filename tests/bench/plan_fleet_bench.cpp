// A site's plan end to end: 64 heads on 16 simulated buses (ptz-headsim paced at 115200 bit/s,
// four heads each, protocols and speeds mixed), all buses in parallel, with a report. Prints
// the whole run's time over the slowest bus's time on the wire plus its pauses, and the
// loader's peak memory. Prints figures and never fails on a slow machine.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

constexpr int kBuses = 16;
constexpr int kHeadsPerBus = 4;
constexpr int kLineRate = 115200;
constexpr double kBitsPerByte = 10;  // 8N1
constexpr std::size_t kFrameBytes = 4107;
constexpr std::size_t kBlockBytes = 4096;
constexpr std::size_t kImageBytes = 2 * kBlockBytes;
constexpr double kSwitchPauseSeconds = 1.0;  // the loader's least and default
constexpr double kAckDelaySeconds = 0.020;   // the loader's default, after every frame but the last
constexpr double kCommandBytes = 8;          // Pelco-P's; Pelco-D's is 7
constexpr double kConnectionBytes = 2 + 1;   // 3F 3F, answered 80

// One head's time on the wire and in the loader's pauses, at `controlSpeed` (0: without the
// upgrade-mode command, which goes out while the switch pause already runs).
double HeadSeconds(int controlSpeed) {
    const std::size_t frames = (kImageBytes + kBlockBytes - 1) / kBlockBytes;
    const double command = controlSpeed > 0 ? kCommandBytes * kBitsPerByte / controlSpeed : 0;
    const double onWire =
        command + (kConnectionBytes + static_cast<double>(frames * (kFrameBytes + 1))) *
                      kBitsPerByte / kLineRate;
    return onWire + kSwitchPauseSeconds + static_cast<double>(frames - 1) * kAckDelaySeconds;
}

}  // namespace

int main() {
    const std::string dir = bench::ScratchFolder("ptz-plan-bench");
    if (dir.empty()) {
        return 0;
    }
    bench::WriteImage(dir + "/fw.bin", kImageBytes / kBlockBytes);

    const std::vector<int> speeds = {2400, 4800, 9600, 19200};
    std::vector<pid_t> heads;
    std::string plan = "port,address,protocol,speed,label\n";
    double slowestBus = 0;
    const double withoutCommands = kHeadsPerBus * HeadSeconds(0);
    for (int bus = 0; bus < kBuses; ++bus) {
        const std::string link = dir + "/bus" + std::to_string(bus);
        const std::string protocol = bus % 2 == 0 ? "pelco-d" : "pelco-p";
        const int speed = speeds[static_cast<std::size_t>(bus / 2) % speeds.size()];
        heads.push_back(
            Spawn({PTZ_HEADSIM_EXE, "--link", link, "--address", "1-4", "--protocol", protocol,
                   "--speed", std::to_string(speed), "--pace", std::to_string(kLineRate)}));
        for (int head = 1; head <= kHeadsPerBus; ++head) {
            plan += link;
            plan += "," + std::to_string(head) + "," + protocol + "," + std::to_string(speed);
            plan += ",bus " + std::to_string(bus) + " head " + std::to_string(head) + "\n";
        }
        slowestBus = std::max(slowestBus, kHeadsPerBus * HeadSeconds(speed));
        bench::WaitForPath(link);
    }
    std::ofstream(dir + "/plan.csv") << plan;

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Spawn({PTZ_UPGRADE_EXE, "--plan", dir + "/plan.csv", "--report",
                             dir + "/report.csv", "-q", dir + "/fw.bin"});
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const pid_t head : heads) {
        kill(head, SIGTERM);
        waitpid(head, nullptr, 0);
    }
    const int upgraded = bench::UpgradedInReport(dir + "/report.csv");
    const double cpu = bench::CpuSeconds(usage);

    std::printf("%d heads on %d buses (%d each), %zu-byte image, ptz-headsim paced at %d bit/s\n",
                kBuses * kHeadsPerBus, kBuses, kHeadsPerBus, kImageBytes, kLineRate);
    std::printf(
        "  whole run %.2f s; slowest bus on the wire plus pauses %.2f s; ratio %.3f "
        "(target <= 1.02)\n",
        seconds, slowestBus, seconds / slowestBus);
    std::printf(
        "  the commands go out during the switch pauses: over the bus time without them "
        "(%.2f s), ratio %.3f\n",
        withoutCommands, seconds / withoutCommands);
    std::printf(
        "  peak memory %.1f MiB (target <= 16 MiB plus the %zu-byte image); CPU %.2f s; "
        "%d of %d heads upgraded; exit %d\n",
        static_cast<double>(usage.ru_maxrss) / 1024.0, kImageBytes, cpu, upgraded,
        kBuses * kHeadsPerBus, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::filesystem::remove_all(dir);
    return 0;
}
