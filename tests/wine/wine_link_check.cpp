// Checks the Windows serial port object and the receive worker under Wine, against ptz-headsim
// (started in upgrade mode) behind COM1; COM10 is mapped to the same head. One line per check,
// then "N passed, N failed"; the exit status is non-zero when a check failed.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control_ids.h"
#include "port_chunk.h"
#include "port_opening.h"
#include "post_only_window.h"
#include "receive_worker.h"
#include "serial_link.h"
#include "serial_link_win32.h"
#include "upgrade_frame.h"
#include "utf16_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kTransferBaud = 115200;
constexpr std::uint8_t kConnected = 0x80;
constexpr std::uint8_t kFrameAccepted = 0x82;
constexpr std::uint8_t kUpgradeComplete = 0x84;
constexpr milliseconds kAnswerLimit{5000};
// The whole run ends with a failure after this, whatever hangs.
constexpr milliseconds kWatchdogLimit{90000};

class Checks {
  public:
    void Record(const std::string& name, bool ok, const std::string& detail = {}) {
        if (ok) {
            ++m_passed;
            std::printf("PASS %s\n", name.c_str());
        } else {
            ++m_failed;
            std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
        }
        std::fflush(stdout);
    }
    int Finish() const {
        std::printf("%d passed, %d failed\n", m_passed, m_failed);
        std::fflush(stdout);
        return m_failed == 0 ? 0 : 1;
    }

  private:
    int m_passed = 0;
    int m_failed = 0;
};

// A window that only queues the chunks the receive worker posts to it.
class ChunkQueueSurface : public PostOnlyWindow {
  public:
    int MessageBox(const std::string& text, const std::string&, unsigned) override {
        std::printf("message box: %s\n", text.c_str());
        return win::kIdOk;
    }
    bool Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        if (message != WM_PORT_DATA) {
            return false;
        }
        std::unique_ptr<PortChunk> chunk = TakePortChunk(wParam);
        if (lParam <= 0 || static_cast<std::size_t>(lParam) != chunk->bytes.size()) {
            m_badLength = true;
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_chunks.push_back(std::move(chunk->bytes));
        m_arrived.notify_all();
        return true;
    }

    std::optional<std::vector<std::uint8_t>> NextChunk(milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_arrived.wait_for(lock, limit, [this] { return !m_chunks.empty(); })) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> chunk = std::move(m_chunks.front());
        m_chunks.pop_front();
        return chunk;
    }
    bool BadLengthSeen() const { return m_badLength; }

  private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<std::vector<std::uint8_t>> m_chunks;
    std::atomic<bool> m_badLength{false};
};

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", static_cast<unsigned>(byte));
    return text;
}

// The first byte of the next chunk, with what went wrong otherwise.
bool ExpectAnswer(ChunkQueueSurface& window, std::uint8_t expected, std::string& detail) {
    const auto chunk = window.NextChunk(kAnswerLimit);
    if (!chunk) {
        detail = "no chunk within " + std::to_string(kAnswerLimit.count()) + " ms";
        return false;
    }
    if (chunk->size() != 1 || chunk->front() != expected) {
        detail = "chunk of " + std::to_string(chunk->size()) + " byte(s) starting " +
                 Hex(chunk->front()) + ", expected " + Hex(expected) + " alone";
        return false;
    }
    return true;
}

PortHandle OpenConfigured(CSerialLink& link, const std::string& name, std::string& detail) {
    const PortOpeningResult opened = OpenPortForUpgrade(link, name, kTransferBaud);
    if (!opened.Succeeded()) {
        detail = opened.error.message;
    }
    return opened.handle;
}

bool WriteAll(CSerialLink& link, PortHandle handle, const std::uint8_t* bytes, std::size_t size,
              std::string& detail) {
    const std::size_t written = link.Write(bytes, size, handle);
    if (written != size) {
        detail = "wrote " + std::to_string(written) + " of " + std::to_string(size) +
                 " bytes: " + link.LastError().message;
        return false;
    }
    return true;
}

const std::uint8_t kConnectionCheck[] = {0x3F, 0x3F};

// Sends the connection check and reads the answer with no receive worker.
std::vector<std::uint8_t> CheckConnectionDirectly(CSerialLink& link, PortHandle handle,
                                                  std::string& detail) {
    std::vector<std::uint8_t> answer;
    if (!WriteAll(link, handle, kConnectionCheck, sizeof(kConnectionCheck), detail)) {
        return answer;
    }
    const auto deadline = Clock::now() + kAnswerLimit;
    while (answer.empty() && Clock::now() < deadline) {
        if (link.QueuedInput(handle) == 0 &&
            link.WaitForInput(handle, 500) == PortWaitResult::Failed) {
            detail = link.LastError().message;
            break;
        }
        std::uint8_t buffer[CSerialLink::kMaxChunk];
        const std::size_t n = link.Read(buffer, sizeof(buffer), handle);
        answer.assign(buffer, buffer + n);
    }
    return answer;
}

void CheckDevicePaths(Checks& checks) {
    struct Case {
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", R"(\\.\COM1)"},        {"COM10", R"(\\.\COM10)"},
        {"com255", R"(\\.\com255)"},    {R"(\\.\COM12)", R"(\\.\COM12)"},
        {R"(\\?\COM3)", R"(\\?\COM3)"}, {"C:/ports/x", "C:/ports/x"},
    };
    std::string detail;
    for (const Case& c : cases) {
        const std::string path = SerialDevicePath(c.name);
        if (path != c.path) {
            detail += std::string(c.name) + " -> " + path + " (expected " + c.path + ") ";
        }
    }
    checks.Record("port names map to device paths", detail.empty(), detail);
}

// The one UTF-8/UTF-16 conversion of the Windows code: whole texts both ways, malformed input
// marked with U+FFFD in place and never cut short, and refused where a name must be exact.
void CheckUtf16Text(Checks& checks) {
    const std::string chinese = "\xE4\xB8\xB2\xE5\x8F\xA3 COM1";  // 串口 COM1
    const std::wstring wideChinese = L"\u4E32\u53E3 COM1";
    const std::string beyondPlane0 = "a\xF0\x9F\x98\x80z";  // U+1F600 between two letters
    const std::string withNul("a\0b", 3);
    checks.Record("UTF-8 and UTF-16 convert whole texts both ways",
                  Utf8ToWide(chinese) == wideChinese && WideToUtf8(wideChinese) == chinese &&
                      Utf8ToWide(beyondPlane0) == L"a\xD83D\xDE00z" &&
                      WideToUtf8(Utf8ToWide(beyondPlane0)) == beyondPlane0 &&
                      Utf8ToWide(withNul) == std::wstring(L"a\0b", 3) && Utf8ToWide("").empty() &&
                      WideToUtf8(L"").empty());

    const std::string stray =
        "COM\xFF"
        "1";
    const std::string cut = "COM1\xE4\xB8";
    checks.Record("malformed text is marked with U+FFFD, the rest kept",
                  Utf8ToWide(stray) ==
                          L"COM\xFFFD"
                          L"1" &&
                      Utf8ToWide(cut) == L"COM1\xFFFD" &&
                      WideToUtf8(std::wstring(L"a\xD800z")) == "a\xEF\xBF\xBDz" &&
                      !Utf8ToWideExact(stray) && !Utf8ToWideExact(cut) &&
                      Utf8ToWideExact(chinese) == wideChinese);

    CSerialLink link;
    link.SetParams(stray, kTransferBaud, 8, 0, 0);
    const PortHandle handle = link.Open();
    const PortError error = link.LastError();
    checks.Record("a port name that is not valid UTF-8 is refused, not opened as a look-alike",
                  handle == kInvalidPortHandle && error.kind == PortErrorKind::NotFound &&
                      error.message.find("not a valid port name") != std::string::npos,
                  error.message);
    if (handle != kInvalidPortHandle) {
        link.Close(handle);
    }
}

void CheckOpenFailures(Checks& checks, CSerialLink& link, const std::string& port) {
    const PortOpeningResult missing = OpenPortForUpgrade(link, "COM200", kTransferBaud);
    PortHandle handle = missing.handle;
    PortError error = missing.error;
    checks.Record("a missing port fails the Open step as not found, with the reason",
                  handle == kInvalidPortHandle && missing.failedStep == PortOpeningStep::Open &&
                      error.kind == PortErrorKind::NotFound &&
                      error.message.rfind("Opening 'COM200': ", 0) == 0 &&
                      error.message.size() > 18,
                  error.message);
    if (handle != kInvalidPortHandle) {
        link.Close(handle);
    }

    std::string detail;
    const PortHandle first = OpenConfigured(link, port, detail);
    if (first == kInvalidPortHandle) {
        checks.Record("a second opening of a port is refused as busy", false,
                      "first opening failed: " + detail);
        return;
    }
    // However the second opener spells the port.
    std::string lowerCase = port;
    for (char& ch : lowerCase) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    bool refused = true;
    for (const std::string& name : {port, lowerCase, R"(\\.\)" + port}) {
        CSerialLink other;
        other.SetParams(name, kTransferBaud, 8, 0, 0);
        handle = other.Open();
        error = other.LastError();
        if (handle != kInvalidPortHandle || error.kind != PortErrorKind::Busy ||
            error.message.rfind("Opening '" + name + "': ", 0) != 0) {
            refused = false;
            detail += name + ": " + (handle != kInvalidPortHandle ? "opened" : error.message) + " ";
        }
        if (handle != kInvalidPortHandle) {
            other.Close(handle);
        }
    }
    checks.Record("a second opening of a port is refused as busy", refused, detail);
    link.Close(first);
}

// The port object alone, with no worker: timed and cancelled waits, then a direct read.
void CheckWaitAndRead(Checks& checks, CSerialLink& link, const std::string& port) {
    std::string detail;
    const PortHandle handle = OpenConfigured(link, port, detail);
    checks.Record(port + " opens and takes 115200 8N1 with XON/XOFF", handle != kInvalidPortHandle,
                  detail);
    if (handle == kInvalidPortHandle) {
        return;
    }

    auto start = Clock::now();
    PortWaitResult result = link.WaitForInput(handle, 300);
    auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    checks.Record("a timed wait with nothing received ends timed out",
                  result == PortWaitResult::TimedOut && took >= milliseconds(250) &&
                      took < milliseconds(5000),
                  "result " + std::to_string(static_cast<int>(result)) + " after " +
                      std::to_string(took.count()) + " ms");

    auto waiter = std::async(std::launch::async, [&] { return link.WaitForInput(handle, -1); });
    std::this_thread::sleep_for(milliseconds(200));
    link.CancelWait(handle);
    const bool ended = waiter.wait_for(kAnswerLimit) == std::future_status::ready;
    result = ended ? waiter.get() : PortWaitResult::Failed;
    // The cancel is used up: the next wait on the same opening waits again.
    const PortWaitResult after = ended ? link.WaitForInput(handle, 100) : PortWaitResult::Failed;
    checks.Record("CancelWait ends a blocked wait, and only that one",
                  ended && result == PortWaitResult::Cancelled && after == PortWaitResult::TimedOut,
                  ended ? "results " + std::to_string(static_cast<int>(result)) + ", " +
                              std::to_string(static_cast<int>(after))
                        : "the wait did not end");
    if (!ended) {
        return;  // a thread still waits on the handle; the watchdog ends the run
    }

    // A cancel given before the wait starts is not lost.
    link.CancelWait(handle);
    checks.Record("a cancel given before the wait is kept for it",
                  link.WaitForInput(handle, 2000) == PortWaitResult::Cancelled);

    // A forgotten cancel ends no wait, and leaves the port able to wait again.
    link.CancelWait(handle);
    link.ForgetCancel(handle);
    checks.Record("a forgotten cancel ends no later wait",
                  link.WaitForInput(handle, 100) == PortWaitResult::TimedOut);

    detail.clear();
    const std::vector<std::uint8_t> answer = CheckConnectionDirectly(link, handle, detail);
    checks.Record("the connection check is answered 0x80 (read directly)",
                  answer.size() == 1 && answer[0] == kConnected,
                  detail.empty() ? std::to_string(answer.size()) + " byte(s) read" : detail);

    link.Close(handle);
    const std::uint8_t probe = 0x3F;
    checks.Record("a closed opening fails as a result value",
                  link.Write(&probe, 1, handle) == 0 && link.QueuedInput(handle) == -1 &&
                      link.WaitForInput(handle, 100) == PortWaitResult::Failed);
}

void CheckDevicePrefixOpens(Checks& checks, CSerialLink& link, const std::string& port10) {
    std::string detail;
    const PortHandle handle = OpenConfigured(link, port10, detail);
    checks.Record(port10 + " opens (device prefix)", handle != kInvalidPortHandle, detail);
    if (handle != kInvalidPortHandle) {
        link.Close(handle);
    }
}

// Frames of a two-block image: the first is acknowledged, the last completes the upgrade.
void CheckSessionAndFrames(Checks& checks, CSerialLink& link, const std::string& port) {
    std::string detail;
    const PortHandle handle = OpenConfigured(link, port, detail);
    if (handle == kInvalidPortHandle) {
        checks.Record("a session with a receive worker opens", false, detail);
        return;
    }
    ChunkQueueSurface window;
    CPortSession session(link, handle);
    if (!session.StartReceiving(window)) {
        checks.Record("a session with a receive worker opens", false, "no worker");
        return;
    }

    bool ok = WriteAll(link, handle, kConnectionCheck, sizeof(kConnectionCheck), detail) &&
              ExpectAnswer(window, kConnected, detail);
    checks.Record("the connection check is answered 0x80 through the receive worker", ok, detail);

    constexpr std::int32_t kImageSize = 6000;
    std::vector<std::uint8_t> image(kImageSize);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    }
    FrameBuffer frame{};
    FillUpgradeFrame(image.data(), FrameAt(0, kImageSize), frame);
    detail.clear();
    ok = WriteAll(link, handle, frame.data(), frame.size(), detail) &&
         ExpectAnswer(window, kFrameAccepted, detail);
    checks.Record("a whole frame is answered 0x82", ok, detail);

    FillUpgradeFrame(image.data() + frame::kBlockSize,
                     FrameAt(static_cast<std::int32_t>(frame::kBlockSize), kImageSize), frame);
    detail.clear();
    ok = WriteAll(link, handle, frame.data(), frame.size(), detail) &&
         ExpectAnswer(window, kUpgradeComplete, detail);
    checks.Record("the last frame is answered 0x84", ok, detail);

    const auto start = Clock::now();
    session.Close();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    checks.Record("closing the session stops its worker promptly", took < milliseconds(3000),
                  std::to_string(took.count()) + " ms");
    checks.Record("every chunk carried its own length", !window.BadLengthSeen());
}

// Each opening has its own record: closing one leaves another of the same object working, and
// closing an opening twice never reaches a handle that got its value meanwhile.
void CheckOpeningsAreSeparate(Checks& checks, CSerialLink& link, const std::string& port,
                              const std::string& port10) {
    std::string detail;
    const PortHandle first = OpenConfigured(link, port, detail);
    const PortHandle second =
        first == kInvalidPortHandle ? kInvalidPortHandle : OpenConfigured(link, port10, detail);
    if (second == kInvalidPortHandle) {
        checks.Record("closing one opening leaves another of the same port object working", false,
                      detail);
        link.Close(first);
        return;
    }
    link.Close(second);
    const std::vector<std::uint8_t> answer = CheckConnectionDirectly(link, first, detail);
    checks.Record("closing one opening leaves another of the same port object working",
                  answer.size() == 1 && answer[0] == kConnected,
                  detail.empty() ? std::to_string(answer.size()) + " byte(s) read" : detail);

    link.Close(first);
    // Events made now take the freed handle values, as a later opening would.
    std::vector<HANDLE> probes(8);
    for (HANDLE& probe : probes) {
        probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    link.Close(first);
    link.Close(second);
    bool intact = true;
    for (HANDLE probe : probes) {
        intact = intact && WaitForSingleObject(probe, 0) == WAIT_TIMEOUT;
        CloseHandle(probe);
    }
    checks.Record("closing an opening twice leaves the handle that got its value alone", intact);
}

// Waits until the worker has ended; its result, or nothing when it still runs.
std::optional<int> ResultWhenEnded(const CReceiveWorker& worker) {
    const auto deadline = Clock::now() + kAnswerLimit;
    while (!worker.Result() && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    return worker.Result();
}

std::string Describe(const std::optional<int>& result) {
    return result ? "result " + std::to_string(*result) : "still running";
}

// A worker ends when stopped, and when its handle is closed under it; a reopened port is served
// by its new worker alone.
void CheckWorkerEnds(Checks& checks, CSerialLink& link, const std::string& port) {
    std::string detail;
    PortHandle handle = OpenConfigured(link, port, detail);
    if (handle == kInvalidPortHandle) {
        checks.Record("a stopped receive worker ends with 0", false, detail);
        return;
    }
    ChunkQueueSurface oldWindow;
    std::unique_ptr<CReceiveWorker> worker = CReceiveWorker::Start(link, handle, oldWindow);
    std::this_thread::sleep_for(milliseconds(200));
    worker->Stop();  // a hang here is caught by the watchdog
    checks.Record("a stopped receive worker ends with 0", worker->Result() == 0,
                  Describe(worker->Result()));
    link.Close(handle);
    worker.reset();

    handle = OpenConfigured(link, port, detail);
    if (handle == kInvalidPortHandle) {
        checks.Record("closing the handle under a waiting worker ends it", false, detail);
        return;
    }
    worker = CReceiveWorker::Start(link, handle, oldWindow);
    std::this_thread::sleep_for(milliseconds(200));
    link.Close(handle);
    const std::optional<int> result = ResultWhenEnded(*worker);
    checks.Record("closing the handle under a waiting worker ends it", result.has_value(),
                  Describe(result));
    if (!result) {
        return;  // joining would hang; the watchdog ends the run
    }
    worker.reset();

    handle = OpenConfigured(link, port, detail);
    ChunkQueueSurface newWindow;
    CPortSession session(link, handle);
    bool ok = handle != kInvalidPortHandle && session.StartReceiving(newWindow) &&
              WriteAll(link, handle, kConnectionCheck, sizeof(kConnectionCheck), detail) &&
              ExpectAnswer(newWindow, kConnected, detail);
    if (ok && (oldWindow.NextChunk(milliseconds(300)) || newWindow.NextChunk(milliseconds(0)))) {
        ok = false;
        detail = "an extra chunk arrived";
    }
    checks.Record("a reopened port is served by its new worker alone", ok, detail);
}

// The highest of the values that the next 64 handles of this process get: more handles alive
// push it up, however the system hands out free slots.
std::uintptr_t HandleHighWater() {
    constexpr int kProbes = 64;
    std::vector<HANDLE> probes;
    std::uintptr_t highest = 0;
    for (int i = 0; i < kProbes; ++i) {
        probes.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        highest = std::max(highest, reinterpret_cast<std::uintptr_t>(probes.back()));
    }
    for (HANDLE probe : probes) {
        CloseHandle(probe);
    }
    return highest;
}

// Events, marks and waits made for an opening are closed with it.
void CheckNoHandleLeak(Checks& checks, CSerialLink& link, const std::string& port) {
    auto cycle = [&] {
        std::string detail;
        const PortHandle handle = OpenConfigured(link, port, detail);
        if (handle != kInvalidPortHandle) {
            (void)link.WaitForInput(handle, 0);
            link.Close(handle);
        }
    };
    cycle();  // first-use allocations
    const std::uintptr_t before = HandleHighWater();
    constexpr int kCycles = 20;
    for (int i = 0; i < kCycles; ++i) {
        cycle();
    }
    const std::uintptr_t after = HandleHighWater();
    // Slots are 4 apart: one leaked handle per opening would move the mark by 4 * kCycles;
    // a few slots of slack are left for the system's own use.
    constexpr std::uintptr_t kSlotSize = 4;
    constexpr std::uintptr_t kSlack = 4 * kSlotSize;
    checks.Record("opening and closing twenty times leaks no handles", after < before + kSlack,
                  "highest handle " + std::to_string(before) + " before, " + std::to_string(after) +
                      " after");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string port = argc > 1 ? argv[1] : "COM1";
    const std::string port10 = argc > 2 ? argv[2] : "COM10";

    std::thread([] {
        std::this_thread::sleep_for(kWatchdogLimit);
        std::printf("FAIL the checks did not finish within %lld s\n",
                    static_cast<long long>(kWatchdogLimit.count() / 1000));
        std::fflush(stdout);
        std::_Exit(2);
    }).detach();

    Checks checks;
    CSerialLink link;
    CheckDevicePaths(checks);
    CheckUtf16Text(checks);
    CheckOpenFailures(checks, link, port);
    CheckWaitAndRead(checks, link, port);
    CheckDevicePrefixOpens(checks, link, port10);
    CheckOpeningsAreSeparate(checks, link, port, port10);
    CheckSessionAndFrames(checks, link, port);
    CheckWorkerEnds(checks, link, port);
    CheckNoHandleLeak(checks, link, port);
    return checks.Finish();
}
