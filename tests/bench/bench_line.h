// What the end-to-end benchmarks of adapters and sites share: the line's own arithmetic (written
// here, apart from the loader's, so that the figures check it), a scratch folder, an image, and
// the figures of a finished process.
#pragma once

#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

constexpr int kLineRate = 115200;            // bit/s, the transfer speed
constexpr double kBitsPerByte = 10;          // 8N1
constexpr std::size_t kFrameBytes = 4107;    // one frame on the line
constexpr std::size_t kBlockBytes = 4096;    // image bytes per frame
constexpr double kAnswerBytes = 1;           // the head's answer to each frame
constexpr double kConnectionBytes = 2 + 1;   // 3F 3F, answered 80
constexpr double kSwitchPauseSeconds = 1.0;  // the loader's least and default
constexpr double kAckDelaySeconds = 0.020;   // the loader's default, after every frame but the last

// The connection check and `frames` frames with their answers on the wire, plus the pauses after
// every frame but the last and, with the switch, the switch pause (the upgrade-mode command goes
// out within it).
inline double UpgradeSeconds(std::size_t frames, bool withSwitch) {
    const double transfer =
        (kConnectionBytes + static_cast<double>(frames) * (kFrameBytes + kAnswerBytes)) *
        kBitsPerByte / kLineRate;
    return (withSwitch ? kSwitchPauseSeconds : 0) + transfer +
           static_cast<double>(frames - 1) * kAckDelaySeconds;
}

// A new folder under the temporary one; empty (and said why) when it cannot be made.
inline std::string ScratchFolder(const char* name) {
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return {};
    }
    return pattern;
}

// `frames` whole blocks of bytes with no long runs.
inline std::string WriteImage(const std::string& path, std::size_t frames) {
    std::vector<char> bytes(frames * kBlockBytes);
    std::uint32_t x = 7;
    for (char& byte : bytes) {
        x = x * 1664525U + 1013904223U;
        byte = static_cast<char>(x >> 24U);
    }
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// Waits up to five seconds for a simulator to publish `path`.
inline void WaitForPath(const std::string& path) {
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// How many heads a plan's report lists as upgraded.
inline int UpgradedInReport(const std::string& path) {
    std::ifstream report(path);
    int upgraded = 0;
    for (std::string line; std::getline(report, line);) {
        upgraded += line.find(",upgraded,") != std::string::npos ? 1 : 0;
    }
    return upgraded;
}

}  // namespace bench
