// End-to-end figures of ptz-upgrade against ptz-headsim: how close a transfer comes to the line
// rate in each write mode, CPU time per frame, and peak memory for a small and a large image.
// Prints figures and never fails on a slow machine.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "spawn_quiet.h"

namespace {

constexpr int kLineRate = 115200;
constexpr double kBitsPerByte = 10;  // 8N1
constexpr std::size_t kFrameBytes = 4107;
constexpr std::size_t kBlockBytes = 4096;
constexpr std::size_t kMiB = std::size_t{1024} * 1024;

struct RunFigures {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
};

// One upgrade of `image` against a fresh simulated head (already in upgrade mode).
RunFigures Upgrade(const std::string& dir, const std::string& image,
                   const std::vector<std::string>& headArgs, const std::string& writeMode,
                   const std::string& ackDelay) {
    const std::string link = dir + "/head";
    std::vector<std::string> head = {PTZ_HEADSIM_EXE, "--link", link, "--no-command", "--once"};
    head.insert(head.end(), headArgs.begin(), headArgs.end());
    std::filesystem::remove(link);
    const pid_t headPid = Spawn(head);
    for (int i = 0; i < 500 && !std::filesystem::exists(link); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Spawn({PTZ_UPGRADE_EXE, "--port", link, "--no-switch", "--write-mode",
                             writeMode, "--ack-delay", ackDelay, "-q", image});
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    RunFigures figures;
    figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    figures.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    figures.peakKiB = usage.ru_maxrss;
    kill(headPid, SIGTERM);
    waitpid(headPid, nullptr, 0);
    return figures;
}

std::string MakeImage(const std::string& dir, std::size_t size) {
    std::string path = dir + "/image-" + std::to_string(size) + ".bin";
    std::vector<char> bytes(size);
    std::uint32_t x = 1;
    for (char& byte : bytes) {
        x = x * 1664525U + 1013904223U;
        byte = static_cast<char>(x >> 24U);
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    return path;
}

}  // namespace

int main() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ptz-upgrade-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 0;
    }
    const std::string dir = pattern;
    const std::string small = MakeImage(dir, kMiB);
    const std::size_t frames = kMiB / kBlockBytes;
    const double wireSeconds =
        static_cast<double>(frames * kFrameBytes + 2) * kBitsPerByte / kLineRate;

    std::printf(
        "1 MiB image, %zu frames, %.1f s on the wire at %d bit/s; head paced at the "
        "line rate\n",
        frames, wireSeconds, kLineRate);
    for (const char* mode : {"frame", "byte"}) {
        for (const char* ackDelay : {"20", "0"}) {
            const RunFigures run =
                Upgrade(dir, small, {"--pace", std::to_string(kLineRate)}, mode, ackDelay);
            std::printf(
                "  --write-mode %-5s --ack-delay %-2s: %6.1f s, line-rate efficiency %.3f "
                "(time / wire time), CPU %.3f ms per frame, exit %d\n",
                mode, ackDelay, run.seconds, run.seconds / wireSeconds,
                run.cpuSeconds * 1000.0 / static_cast<double>(frames), run.status);
        }
    }
    // The image is read whole before the first frame, so the peak comes before the head's
    // 0x86 to frame 0 ends the run: no need to wait out the wire time of every frame.
    std::printf("peak memory of ptz-upgrade (the head fails frame 0, exit 5):\n");
    for (const std::size_t size : {kMiB, 16 * kMiB}) {
        const std::string image = size == kMiB ? small : MakeImage(dir, size);
        const RunFigures run = Upgrade(dir, image, {"--fail-at", "0"}, "frame", "0");
        std::printf("  %2zu MiB image: peak RSS %ld KiB, %.2f s, exit %d\n", size / kMiB,
                    run.peakKiB, run.seconds, run.status);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
