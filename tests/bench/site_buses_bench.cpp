// A site-sized plan: 16, 64 and 256 buses of one head each, a 4-frame image, all buses at once,
// against one `ptz-headsim --buses N` process paced at 115200 bit/s. Prints the whole run's time
// over one bus's wire time plus pauses, the loader's CPU per frame and its peak memory, and the
// simulator's CPU, so that the growth with the number of buses shows; never fails.
#include <signal.h>
#include <sys/wait.h>

#include "bench_line.h"
#include "spawn_quiet.h"

namespace {

constexpr std::size_t kFrames = 4;
constexpr int kControlSpeed = 2400;  // the simulator's default; Pelco-D, head 1

struct Run {
    double seconds = 0;
    double loaderCpu = 0;
    long loaderPeakKiB = 0;
    double headsimCpu = 0;
    int upgraded = 0;
    int status = -1;
    int headsimStatus = -1;
};

Run Site(const std::string& dir, const std::string& image, int buses) {
    const std::string link = dir + "/bus";
    const pid_t headPid = Spawn({PTZ_HEADSIM_EXE, "--link", link, "--buses", std::to_string(buses),
                                 "--pace", std::to_string(bench::kLineRate), "--once"});
    std::string plan = "port,address,protocol,speed\n";
    for (int bus = 1; bus <= buses; ++bus) {
        plan += link + std::to_string(bus) + ",1,pelco-d," + std::to_string(kControlSpeed) + "\n";
    }
    std::ofstream(dir + "/plan.csv") << plan;
    const std::string report = dir + "/report-" + std::to_string(buses) + ".csv";
    bench::WaitForPath(link + std::to_string(buses));

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid =
        Spawn({PTZ_UPGRADE_EXE, "--plan", dir + "/plan.csv", "--report", report, "-q", image});
    Run run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.loaderCpu = bench::CpuSeconds(usage);
    run.loaderPeakKiB = usage.ru_maxrss;
    // With --once the simulator ends by itself once every port is closed; a stuck one is ended.
    rusage headUsage{};
    pid_t ended = 0;
    for (int i = 0; i < 500 && (ended = wait4(headPid, &status, WNOHANG, &headUsage)) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended == 0) {
        kill(headPid, SIGTERM);
        ended = wait4(headPid, &status, 0, &headUsage);
    }
    if (ended == headPid) {
        run.headsimStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.headsimCpu = bench::CpuSeconds(headUsage);
    }
    std::ifstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        run.upgraded += line.find(",upgraded,") != std::string::npos ? 1 : 0;
    }
    return run;
}

}  // namespace

int main() {
    const std::string dir = bench::ScratchFolder("ptz-site-bench");
    if (dir.empty()) {
        return 0;
    }
    const std::string image = bench::WriteImage(dir + "/fw.bin", kFrames);
    const double busSeconds = bench::UpgradeSeconds(kFrames, true);
    std::printf(
        "buses of 1 head, %zu-frame image, one ptz-headsim --buses N paced at %d bit/s; "
        "one bus on the wire plus pauses %.2f s\n",
        kFrames, bench::kLineRate, busSeconds);
    for (const int buses : {16, 64, 256}) {
        const Run run = Site(dir, image, buses);
        const double frames = static_cast<double>(buses) * kFrames;
        std::printf(
            "  %3d buses: %5.2f s, ratio %.3f (target <= 1.05); loader CPU %.2f ms per "
            "frame, peak %.1f MiB (target <= 32 MiB); ptz-headsim CPU %.2f s; %d of %d "
            "upgraded; exit %d, ptz-headsim exit %d\n",
            buses, run.seconds, run.seconds / busSeconds, run.loaderCpu * 1000.0 / frames,
            static_cast<double>(run.loaderPeakKiB) / 1024.0, run.headsimCpu, run.upgraded, buses,
            run.status, run.headsimStatus);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
