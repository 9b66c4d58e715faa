// The window program's handling of the head's answers, fed arbitrary chunk sequences: one
// headless main window for the whole run, its COM1 a pty whose far end this harness reads, a
// transfer started for every input, the chunks posted as the receive worker posts them and every
// message box answered. Each answer is stamped as arriving either now (sooner than any frame can
// cross the wire: a stale or repeated answer) or one frame's wire time from now (a head at the
// line's pace), so that the fuzzer reaches both without waiting for the line. Checked: the
// progress bar stays within its range, the go-ahead is 0 or 1, "更新成功!" appears only when the
// frame marked last has gone out whole, an answer on time to a waiting transfer always moves it
// on (a release never goes to an ended worker), and no step waits without end.
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control_ids.h"
#include "fuzz_check.h"
#include "port_chunk.h"
#include "pty_pair.h"
#include "resource.h"
#include "surface_headless.h"
#include "ui_texts.h"
#include "upgrade_dlg.h"

namespace {

constexpr std::size_t kFrameBytes = 4107;
constexpr int kMaxSteps = 32;
// Every wait of the harness is bounded; the longest wait of the window itself is the 300 ms it
// gives a stopped worker before it closes the port, so anything beyond this is a hang.
constexpr int kHangMs = 10000;
constexpr int kWorkerMoveMs = 3000;
// A frame of 4107 bytes takes 356.5 ms on the wire at 115200 bit/s: an answer stamped this much
// after its posting is one the line allows for any frame already handed to the port.
constexpr auto kFrameWireTime = std::chrono::milliseconds(357);
constexpr std::array<std::size_t, 6> kImageSizes = {1, 100, 4095, 4096, 4097, 8192};
constexpr std::array<std::uint8_t, 9> kAnswers = {0x80, 0x81, 0x82, 0x83, 0x84,
                                                  0x86, 0x87, 0x82, 0x82};

// PTZ_FUZZ_TRACE=1 shows what an input does (for replaying a crash input by hand).
bool Tracing() {
    static const bool tracing = std::getenv("PTZ_FUZZ_TRACE") != nullptr;  // NOLINT
    return tracing;
}

void Hang(const char* what) {
    std::fprintf(stderr, "hang: %s\n", what);
    std::abort();
}

bool IsWholeLastFrame(const std::uint8_t* frame) {
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < kFrameBytes - 3; ++i) {
        sum += frame[i];
    }
    const std::uint32_t sent = (std::uint32_t{frame[kFrameBytes - 3]} << 16U) |
                               (std::uint32_t{frame[kFrameBytes - 2]} << 8U) |
                               frame[kFrameBytes - 1];
    return frame[0] == 0x73 && frame[1] == 1 && (sum & 0xFFFFFFU) == sent;
}

// A whole frame with the last-block mark and a right sum is somewhere on the line. (A fill
// frame the worker had begun when the window ended it may follow.)
bool HasLastFrame(const std::vector<std::uint8_t>& line) {
    for (std::size_t at = 0; at + kFrameBytes <= line.size(); ++at) {
        if (line[at] == 0x73 && IsWholeLastFrame(line.data() + at)) {
            return true;
        }
    }
    return false;
}

// Everything the window sends to COM1 during one input, read on a thread of its own so that
// the worker's writes never wait for room. A pty hands written bytes to its far end a moment
// after the write has returned (the kernel moves them on a work queue of its own), so "read
// everything" means: nothing readable, and nothing new for a while.
class LineTap {
  public:
    explicit LineTap(PtyPair& pty) : m_pty(pty), m_thread([this] { Run(); }) {}
    ~LineTap() {
        m_stop = true;
        m_thread.join();
    }
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    // Whether a whole frame marked last is among the bytes read since the last Clear, waiting
    // for it until the line has been quiet for `quiet`. (The window's writes are over when it
    // shows success: it has joined its worker by then.)
    bool CarriedLastFrame(std::chrono::milliseconds quiet = std::chrono::milliseconds(500)) {
        for (int round = 0; round < 100000; ++round) {
            if (const auto seen = Look(quiet)) {
                return *seen;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        Hang("the line tap never settled");
        return false;
    }
    // Forgets what was read, once the line has been quiet for a moment.
    void Clear() {
        for (int round = 0; round < 100000; ++round) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (Quiet(std::chrono::milliseconds(1))) {
                    m_bytes.clear();
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        Hang("the line tap never caught up with the window's writes");
    }

  private:
    using Clock = std::chrono::steady_clock;

    // True or false once the answer is known, nothing while the line may still bring it.
    std::optional<bool> Look(std::chrono::milliseconds quiet) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (HasLastFrame(m_bytes)) {
            return true;
        }
        if (Quiet(quiet)) {
            return false;
        }
        return std::nullopt;
    }

    // Nothing being read, nothing readable, nothing new for `quiet` (m_mutex held).
    bool Quiet(std::chrono::milliseconds quiet) const {
        return !m_reading && m_pty.Pending() == 0 && Clock::now() - m_lastRead >= quiet;
    }

    void Run() {
        while (!m_stop) {
            if (!m_pty.PortSideReadableFromMaster(1)) {
                continue;
            }
            // Marked before the read, so that a look between the read and the append waits
            // for this batch too.
            m_reading = true;
            const std::vector<std::uint8_t> got = m_pty.ReceiveSome(0);
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes.insert(m_bytes.end(), got.begin(), got.end());
            m_lastRead = Clock::now();
            m_reading = false;
        }
    }

    PtyPair& m_pty;
    std::mutex m_mutex;
    std::vector<std::uint8_t> m_bytes;
    Clock::time_point m_lastRead;
    std::atomic<bool> m_reading{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The window's pauses (20 ms after an accepted frame, the reopening's 500 ms) take no time
// here: the fuzzer explores answers, not waiting.
class InstantClock final : public IUpgradeClock {
  public:
    std::int64_t NowMs() override { return m_now += 1; }
    void SleepMs(int ms) override { m_now += ms; }

  private:
    std::atomic<std::int64_t> m_now{0};
};

class WindowHarness {
  public:
    WindowHarness() {
        std::array<char, 32> pattern{"/tmp/ptz-fuzz-XXXXXX"};
        if (::mkdtemp(pattern.data()) == nullptr) {
            Hang("no temporary folder");
        }
        m_dir = pattern.data();
        ::setenv("PTZ_COM_PORTS_DIR", m_dir.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
        std::filesystem::create_symlink(m_pty.Path(), m_dir + "/com1");
        for (const std::size_t size : kImageSizes) {
            std::vector<char> bytes(size);
            for (std::size_t i = 0; i < size; ++i) {
                bytes[i] = static_cast<char>(i * 13 + 7);
            }
            std::ofstream(ImagePath(size), std::ios::binary)
                .write(bytes.data(), static_cast<std::streamsize>(size));
        }
        m_dialog = std::make_unique<CUpgradeDlg>(m_desktop, &m_clock);
        m_desktop.Launch([this] { (void)m_dialog->DoModal(m_desktop); });
        if (!m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_UPGRADE); }, kHangMs)) {
            Hang("the main window did not open");
        }
        Settle();
    }

    ~WindowHarness() {
        (void)m_desktop.CloseEverything(kHangMs);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    WindowHarness(const WindowHarness&) = delete;
    WindowHarness& operator=(const WindowHarness&) = delete;

    void Run(FuzzedDataProvider& input) {
        const std::size_t imageSize =
            kImageSizes[input.ConsumeIntegralInRange<std::size_t>(0, kImageSizes.size() - 1)];
        StartTransfer(imageSize);
        for (int step = 0; step < kMaxSteps && input.remaining_bytes() > 0; ++step) {
            Step(input);
            Check();
        }
        // The head gives up: whatever is under way ends, and the next input starts afresh.
        PostChunk({0x86});
        Settle();
        Check();
    }

  private:
    std::string ImagePath(std::size_t size) const {
        return m_dir + "/image-" + std::to_string(size) + ".bin";
    }

    const TransferState& State() const { return m_dialog->State(); }
    bool Enabled(int id) const { return m_desktop.Enabled(IDD_UPGRADE, id); }

    // Port open, image chosen (the device dialog left with Esc), 0x80 heard, start pressed.
    void StartTransfer(std::size_t imageSize) {
        m_tap.Clear();
        if (m_desktop.Text(IDD_UPGRADE, IDC_BTN_PORT) == "打开串口") {
            (void)m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT);
            Settle();
        }
        if (!m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT)) {
            Hang("the port did not open again");
        }
        const auto dialog = m_desktop.WaitForPrompt(kHangMs);
        if (!dialog || dialog->kind != HeadlessPrompt::Kind::FileDialog) {
            Hang("no file dialog");
        }
        (void)m_desktop.AnswerFileDialog(ImagePath(imageSize));
        if (!m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kHangMs)) {
            Hang("no device dialog");
        }
        (void)m_desktop.PressEscape(IDD_DEVICE);
        if (!m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_DEVICE); }, kHangMs)) {
            Hang("the device dialog stays open");
        }
        PostChunk({0x80});
        Settle();
        (void)m_desktop.Click(IDD_UPGRADE, IDC_BTN_START);
        Settle();
        m_transferLive = true;
    }

    void Step(FuzzedDataProvider& input) {
        switch (input.ConsumeIntegralInRange<int>(0, 9)) {
            case 6:
                // A second start while the first transfer runs replaces its worker; without an
                // image (a completed upgrade forgets it) it starts nothing.
                if (m_desktop.Click(IDD_UPGRADE, IDC_BTN_START)) {
                    Settle();
                    m_transferLive = State().g_pImage.load() != nullptr;
                }
                return;
            case 7:
                (void)m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT);
                m_transferLive = false;
                Settle();
                return;
            case 8:
                std::this_thread::sleep_for(
                    std::chrono::microseconds(input.ConsumeIntegralInRange<int>(0, 3000)));
                return;
            default:
                break;
        }
        const bool whenWaiting = input.ConsumeBool();
        const bool settle = input.ConsumeBool();
        const bool onTime = input.ConsumeBool();
        std::vector<std::uint8_t> chunk;
        const auto pick = input.ConsumeIntegralInRange<std::size_t>(0, kAnswers.size());
        chunk.push_back(pick < kAnswers.size() ? kAnswers[pick]
                                               : input.ConsumeIntegral<std::uint8_t>());
        const auto extra = input.ConsumeIntegralInRange<std::size_t>(0, 3);
        for (std::size_t i = 0; i < extra; ++i) {
            chunk.push_back(input.ConsumeIntegral<std::uint8_t>());
        }
        const bool workerWaits = whenWaiting && WaitForWorkerToWait();
        if (Tracing()) {
            std::fprintf(stderr, "chunk %02x (+%zu)%s%s\n", chunk.front(), chunk.size() - 1,
                         onTime ? " on time" : " early",
                         workerWaits ? " to the waiting worker" : "");
        }
        const std::int32_t sentBefore = State().g_nSentCount;
        const std::size_t promptsBefore = m_desktop.PromptCount();
        PostChunk(chunk, onTime ? kFrameWireTime : std::chrono::milliseconds(0));
        if (settle || workerWaits) {
            Settle();
        }
        const bool quiet = m_desktop.PromptCount() == promptsBefore;
        if (workerWaits && onTime && chunk.front() == 0x82 && quiet) {
            // The window took the acceptance while the worker waited: it must send again.
            const bool moved = m_desktop.WaitUntil(
                [&] { return State().g_nSentCount != sentBefore; }, kWorkerMoveMs);
            FuzzRequire(moved, "an accepted frame releases the waiting worker");
        }
    }

    // Waits (bounded) until a live transfer's worker has sent its frame and waits for an answer.
    bool WaitForWorkerToWait() {
        if (!m_transferLive || m_desktop.OpenPrompt()) {
            return false;
        }
        std::int32_t seen = State().g_nSentCount;
        int quietRounds = 0;
        for (int round = 0; round < 5000; ++round) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            const std::int32_t now = State().g_nSentCount;
            if (now == seen && State().g_bGoAhead == 0) {
                return m_transferLive && !m_desktop.OpenPrompt();
            }
            // A sending worker moves the counter with every chunk, well within a millisecond on
            // a pty; one that has not moved it for 5 ms is not running (a start that found no
            // image, a transfer ended quietly).
            quietRounds = now == seen ? quietRounds + 1 : 0;
            if (quietRounds >= 25) {
                return false;
            }
            seen = now;
        }
        return false;
    }

    void PostChunk(const std::vector<std::uint8_t>& bytes,
                   std::chrono::milliseconds arrivesIn = std::chrono::milliseconds(0)) {
        // As the receive worker posts it: a heap chunk whose address travels as wParam.
        auto chunk = std::make_unique<PortChunk>();
        chunk->bytes = bytes;
        chunk->arrivedAt = PortClock::now() + arrivesIn;
        const auto address = reinterpret_cast<std::uintptr_t>(chunk.get());
        if (m_desktop.PostTo(IDD_UPGRADE, WM_PORT_DATA, address,
                             static_cast<std::intptr_t>(bytes.size()))) {
            (void)chunk.release();  // the window owns it now
        }
    }

    // Runs the window until it is idle, answering every message box on the way.
    void Settle() {
        for (int round = 0; round < 200; ++round) {
            if (!m_desktop.WaitIdle(kHangMs)) {
                Hang("the window thread never became idle");
            }
            const auto prompt = m_desktop.OpenPrompt();
            if (!prompt) {
                return;
            }
            Check();
            Answer(*prompt);
        }
        Hang("message boxes without end");
    }

    void Answer(const HeadlessPrompt& prompt) {
        if (prompt.kind == HeadlessPrompt::Kind::FileDialog) {
            (void)m_desktop.AnswerFileDialog(std::nullopt);
            return;
        }
        if (Tracing()) {
            std::fprintf(stderr, "  message: %s\n", prompt.text.c_str());
        }
        if (prompt.text != "校验错误") {
            m_transferLive = false;  // every other message ends the transfer
        }
        if (prompt.text == "更新成功!") {
            FuzzRequire(m_tap.CarriedLastFrame(),
                        "success only once the frame marked last has gone out whole");
        }
        (void)m_desktop.AnswerMessageBox((prompt.style & win::kMbYesNo) != 0 ? win::kIdNo
                                                                             : win::kIdOk);
    }

    void Check() const {
        const std::int32_t goAhead = State().g_bGoAhead;
        FuzzRequire(goAhead == 0 || goAhead == 1, "the go-ahead is 0 or 1");
        const auto progress = m_desktop.Control(IDD_UPGRADE, IDC_PROGRESS);
        FuzzRequire(progress.has_value(), "the window has its progress bar");
        FuzzRequire(
            progress->position >= progress->rangeLow && progress->position <= progress->rangeHigh,
            "progress within its range");
    }

    InstantClock m_clock;
    std::string m_dir;
    PtyPair m_pty;
    LineTap m_tap{m_pty};
    CHeadlessDesktop m_desktop;
    std::unique_ptr<CUpgradeDlg> m_dialog;
    bool m_transferLive = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One window for the whole run: opening it and its port takes far longer than an input.
    static WindowHarness harness;
    FuzzedDataProvider input(data, size);
    harness.Run(input);
    return 0;
}
