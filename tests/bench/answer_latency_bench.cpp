// What a USB adapter's latency timer costs a whole upgrade: ptz-upgrade against ptz-headsim
// paced at 115200 bit/s (the head already in upgrade mode), its answers held by a modelled
// latency timer of 16 ms (FTDI's default) and 1 ms (lowered), beside no timer at all. Prints the
// time over the wire time plus the pauses; never fails on a slow machine.
#include <signal.h>
#include <sys/wait.h>

#include "bench_line.h"
#include "spawn_quiet.h"

namespace {

constexpr std::size_t kFrames = 32;

struct Run {
    double seconds = 0;
    int status = -1;
};

Run Upgrade(const std::string& dir, const std::string& image, int latencyMs) {
    const std::string link = dir + "/head";
    std::vector<std::string> head = {PTZ_HEADSIM_EXE,
                                     "--link",
                                     link,
                                     "--no-command",
                                     "--once",
                                     "--pace",
                                     std::to_string(bench::kLineRate)};
    if (latencyMs > 0) {
        head.insert(head.end(), {"--answer-latency", std::to_string(latencyMs)});
    }
    std::filesystem::remove(link);
    const pid_t headPid = Spawn(head);
    bench::WaitForPath(link);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Spawn({PTZ_UPGRADE_EXE, "--port", link, "--no-switch", "-q", image});
    int status = 0;
    waitpid(pid, &status, 0);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    kill(headPid, SIGTERM);
    waitpid(headPid, nullptr, 0);
    return run;
}

}  // namespace

int main() {
    const std::string dir = bench::ScratchFolder("ptz-latency-bench");
    if (dir.empty()) {
        return 0;
    }
    const std::string image = bench::WriteImage(dir + "/fw.bin", kFrames);
    const double expected = bench::UpgradeSeconds(kFrames, false);
    const double answers = kFrames + 1;  // the connection check's and each frame's
    std::printf(
        "%zu frames at %d bit/s, head paced at the line rate: %.2f s on the wire plus "
        "pauses\n",
        kFrames, bench::kLineRate, expected);
    for (const int latencyMs : {0, 1, 16}) {
        const Run run = Upgrade(dir, image, latencyMs);
        std::printf(
            "  latency timer %2d ms%s: %6.2f s, time / (wire + pauses) %.3f, %.1f ms per "
            "answer beyond, exit %d\n",
            latencyMs, latencyMs == 0 ? " (none)" : "       ", run.seconds, run.seconds / expected,
            (run.seconds - expected) * 1000.0 / answers, run.status);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
