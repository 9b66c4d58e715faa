// How long the window program's frame path takes to put one frame on a pty: four
// hex-text writes, each followed by a sent-counter update for the window thread. Printed
// beside the time the frame needs on the wire at 115200 bit/s; the program, not the line,
// would set the pace if it took more than a tenth of that. Prints figures, never fails.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "resource.h"
#include "surface_headless.h"
#include "upgrade_dlg.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kFrames = 24;
constexpr std::size_t kFrameBytes = 4107;
constexpr double kWireMsPerFrame = kFrameBytes * 10 * 1000.0 / 115200;

bool Wait(const CHeadlessDesktop& desktop, const std::function<bool()>& condition) {
    return desktop.WaitUntil(condition, 10000);
}
}  // namespace

int main() {
    char pattern[] = "/tmp/ptz-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::string dir = pattern;
    ::setenv("PTZ_COM_PORTS_DIR", dir.c_str(), 1);
    PtyPair head;
    std::filesystem::create_symlink(head.Path(), dir + "/com1");
    const std::string image = dir + "/image.bin";
    std::ofstream(image, std::ios::binary) << std::string(kFrames * 4096, 'x');

    CHeadlessDesktop desktop;
    CUpgradeDlg dialog(desktop);
    desktop.Launch([&] { (void)dialog.DoModal(desktop); });
    Wait(desktop, [&] { return desktop.IsOpen(IDD_UPGRADE); });
    desktop.WaitIdle(5000);
    desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT);
    desktop.WaitForPrompt(5000);
    desktop.AnswerFileDialog(image);
    Wait(desktop, [&] { return desktop.IsOpen(IDD_DEVICE); });
    desktop.PressEscape(IDD_DEVICE);
    Wait(desktop, [&] { return !desktop.IsOpen(IDD_DEVICE); });
    head.Send({0x80});
    Wait(desktop, [&] { return desktop.Enabled(IDD_UPGRADE, IDC_BTN_START); });
    desktop.Click(IDD_UPGRADE, IDC_BTN_START);

    // The head takes each frame as fast as the pty delivers it and accepts it once the frame
    // could have crossed the wire: the window takes no answer sooner.
    std::vector<double> frameMs;
    for (int frame = 0; frame < kFrames; ++frame) {
        // The first read may bring more than one byte of the frame, never bytes of the next.
        const auto first = head.Receive(1, 10000);
        const auto started = Clock::now();
        const auto rest = head.Receive(kFrameBytes - std::min(first.size(), kFrameBytes), 10000);
        frameMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        if (first.size() + rest.size() != kFrameBytes) {
            std::fprintf(stderr, "frame %d arrived short\n", frame);
            break;
        }
        std::this_thread::sleep_until(
            started + std::chrono::microseconds(static_cast<long>(kWireMsPerFrame * 1000)));
        head.Send({static_cast<std::uint8_t>(frame + 1 == kFrames ? 0x84 : 0x82)});
    }
    desktop.WaitForPrompt(10000);
    desktop.AnswerMessageBox(1);
    desktop.PressCloseBox(IDD_UPGRADE);
    desktop.WaitForExit(5000);

    std::sort(frameMs.begin(), frameMs.end());
    const double median = frameMs.empty() ? 0 : frameMs[frameMs.size() / 2];
    std::printf(
        "window program, frame path (four writes a frame), headless backend against a pty\n");
    std::printf("  frames measured:          %zu\n", frameMs.size());
    std::printf("  host time per frame:      %.2f ms (median), %.2f ms (slowest)\n", median,
                frameMs.empty() ? 0 : frameMs.back());
    std::printf("  wire time per frame:      %.1f ms at 115200 bit/s\n", kWireMsPerFrame);
    std::printf("  host time / wire time:    %.3f (target: at most 0.100)\n",
                median / kWireMsPerFrame);
    std::filesystem::remove_all(dir);
    return 0;
}
