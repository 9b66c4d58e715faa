#include "soak_runs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "process_runner.h"
#include "resource.h"
#include "surface_headless.h"
#include "ui_texts.h"
#include "upgrade_dlg.h"

namespace soak {
namespace {
using Clock = std::chrono::steady_clock;

// Every wait is bounded; an upgrade of three blocks takes about a second.
constexpr int kRunLimitMs = 30000;
constexpr int kUiMs = 5000;
constexpr int kConnectMs = 2000;
// A transfer whose byte counter stands still this long waits for an answer that is not coming.
constexpr auto kStallTime = std::chrono::milliseconds(1500);

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

End EndOfExitStatus(int status) {
    switch (status) {
        case 0:
            return End::Success;
        case 3:
            return End::PortGone;
        case 4:
            return End::NoConnection;
        case 5:
            return End::HeadFailed;
        case 6:
            return End::HeadTimedOut;
        case 7:
            return End::NoAnswer;
        default:
            return End::Other;
    }
}

// Runs a program to its end, or kills it at the bound; its exit status (-1: killed or died)
// and its peak memory.
int RunBounded(const std::vector<std::string>& argv, int limitMs, long& peakKiB) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        int status = 0;
        rusage usage{};
        if (::wait4(pid, &status, WNOHANG, &usage) == pid) {
            peakKiB = usage.ru_maxrss;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
        Sleep(5);
    }
}
}  // namespace

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image) {
    image.resize((image.size() + 4095) / 4096 * 4096, 0xFF);
    return image;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// ---- The simulated head ----

SimulatedHead::SimulatedHead(const Programs& programs, const std::vector<std::string>& args)
    : m_programs(programs) {
    std::error_code ec;
    std::filesystem::remove(programs.dir + "/received.bin", ec);
    // Read at the line's pace, as a real head: both programs take no answer that comes sooner
    // than its frame can have crossed the wire.
    std::vector<std::string> argv = {
        programs.headsim, "--link", Link(), "--out", programs.dir + "/received.bin",
        "--pace",         "115200"};
    argv.insert(argv.end(), args.begin(), args.end());
    // A name of its own: the output of the head before must not pass for this one's.
    static int s_heads = 0;
    m_name = "headsim-" + std::to_string(++s_heads);
    m_process = std::make_unique<ChildProcess>(argv, programs.dir, m_name);
    m_started = m_process->WaitForOutput(Link(), kUiMs);
}

SimulatedHead::~SimulatedHead() {
    (void)Received();
}

std::string SimulatedHead::Link() const {
    return m_programs.dir + "/com1";
}

std::vector<std::uint8_t> SimulatedHead::Received() {
    if (m_process) {
        m_process->Signal(SIGTERM);
        (void)m_process->Wait(kUiMs);
        m_process.reset();
        std::error_code ec;
        std::filesystem::remove(m_programs.dir + "/" + m_name + ".out", ec);
        std::filesystem::remove(m_programs.dir + "/" + m_name + ".err", ec);
    }
    const std::string bytes = ReadFileText(m_programs.dir + "/received.bin");
    return {bytes.begin(), bytes.end()};
}

// ---- ptz-upgrade ----

Outcome RunCommandLine(const Programs& programs, const Draw& draw) {
    Outcome outcome;
    const std::string image = programs.dir + "/image.bin";
    WriteFile(image, draw.image);
    SimulatedHead head(programs, draw.fault.headsimArgs);
    if (!head.Started()) {
        outcome.detail = "ptz-headsim did not start";
        return outcome;
    }
    const int status = RunBounded({programs.upgrade, "--port", head.Link(), "--no-switch",
                                   "--answer-timeout", "0.5", "--ack-delay", "0", "-q", image},
                                  kRunLimitMs, outcome.peakKiB);
    outcome.end = status < 0 ? End::Hang : EndOfExitStatus(status);
    outcome.successClaimed = status == 0;
    outcome.detail = "exit " + std::to_string(status);
    outcome.received = head.Received();
    return outcome;
}

// ---- The window program ----

WindowOperator::WindowOperator(const Programs& programs)
    : m_programs(programs),
      m_desktop(std::make_unique<CHeadlessDesktop>()),
      m_dialog(std::make_unique<CUpgradeDlg>(*m_desktop)) {
    ::setenv("PTZ_COM_PORTS_DIR", programs.dir.c_str(), 1);
    m_desktop->Launch([this] { (void)m_dialog->DoModal(*m_desktop); });
    // No head yet: COM1 does not open, and the window says so.
    if (m_desktop->WaitForPrompt(kUiMs)) {
        (void)m_desktop->AnswerMessageBox(win::kIdOk);
    }
    (void)m_desktop->WaitIdle(kUiMs);
}

WindowOperator::~WindowOperator() {
    (void)m_desktop->CloseEverything(kUiMs);
}

bool WindowOperator::OpenFreshPort(std::string& why) {
    if (m_desktop->Text(IDD_UPGRADE, IDC_BTN_PORT) == "关闭串口") {
        (void)m_desktop->Click(IDD_UPGRADE, IDC_BTN_PORT);
        (void)m_desktop->WaitIdle(kUiMs);
    }
    (void)m_desktop->Click(IDD_UPGRADE, IDC_BTN_PORT);
    if (!m_desktop->WaitIdle(kUiMs)) {
        why = "the window did not answer the port button";
        return false;
    }
    if (const auto prompt = m_desktop->OpenPrompt()) {
        why = "port did not open: " + prompt->text;
        (void)m_desktop->AnswerMessageBox(win::kIdOk);
        return false;
    }
    return true;
}

bool WindowOperator::ChooseImage(const std::string& path, std::string& why) {
    CHeadlessDesktop& d = *m_desktop;
    const bool chosen =
        d.Click(IDD_UPGRADE, IDC_BTN_SELECT) && d.WaitForPrompt(kUiMs) &&
        d.AnswerFileDialog(path) && d.WaitUntil([&] { return d.IsOpen(IDD_DEVICE); }, kUiMs) &&
        d.PressEscape(IDD_DEVICE) && d.WaitUntil([&] { return !d.IsOpen(IDD_DEVICE); }, kUiMs) &&
        // The head is in upgrade mode already: the end of the switch without its command.
        d.PostTo(IDD_UPGRADE, WM_PORT_REOPEN, 0, 0) &&
        d.WaitUntil([&] { return d.Enabled(IDD_UPGRADE, IDC_BTN_CONNECT); }, kUiMs);
    if (!chosen) {
        why = "image choice did not go through";
    }
    return chosen;
}

End WindowOperator::AwaitEnd(std::string& detail) {
    CHeadlessDesktop& d = *m_desktop;
    const auto end = Clock::now() + std::chrono::milliseconds(kRunLimitMs);
    auto lastProgress = Clock::now();
    std::int32_t lastCount = m_dialog->State().g_nSentCount;
    while (Clock::now() < end) {
        if (const auto prompt = d.OpenPrompt()) {
            (void)d.AnswerMessageBox(win::kIdOk);
            detail = prompt->text;
            if (prompt->text == "校验错误") {
                lastProgress = Clock::now();
                continue;
            }
            if (prompt->text == "更新成功!") {
                return End::Success;
            }
            if (prompt->text == "更新失败!") {
                return End::HeadFailed;
            }
            if (prompt->text == "更新超时!") {
                return End::HeadTimedOut;
            }
            if (prompt->text == "串口写入失败, 升级中断! 请检查串口后重新打开.") {
                return End::PortGone;
            }
            return End::Other;
        }
        const std::int32_t count = m_dialog->State().g_nSentCount;
        if (count != lastCount) {
            lastCount = count;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > kStallTime) {
            // The operator's way out of a wait for an answer that is not coming.
            (void)d.Click(IDD_UPGRADE, IDC_BTN_PORT);
            const auto closed = d.WaitForPrompt(kUiMs);
            if (!closed) {
                detail = "closing the port was not answered";
                return End::Hang;
            }
            (void)d.AnswerMessageBox(win::kIdOk);
            detail = "stalled; " + closed->text;
            return closed->text == "串口已关闭, 升级中断!" ? End::NoAnswer : End::Other;
        }
        Sleep(10);
    }
    detail = "no end within " + std::to_string(kRunLimitMs) + " ms";
    return End::Hang;
}

bool WindowOperator::WorkerGone() {
    if (!m_desktop->WaitIdle(kUiMs)) {
        return false;
    }
    const auto worker = m_dialog->RecordedWorker();
    return !worker || worker->Ended();
}

Outcome WindowOperator::Run(const Draw& draw) {
    Outcome outcome;
    const std::string image = m_programs.dir + "/image.bin";
    WriteFile(image, draw.image);
    SimulatedHead head(m_programs, draw.fault.headsimArgs);
    CHeadlessDesktop& d = *m_desktop;
    if (!head.Started()) {
        outcome.detail = "ptz-headsim did not start";
    } else if (OpenFreshPort(outcome.detail) && ChooseImage(image, outcome.detail)) {
        (void)d.Click(IDD_UPGRADE, IDC_BTN_CONNECT);
        if (!d.WaitUntil([&] { return d.Enabled(IDD_UPGRADE, IDC_BTN_START); }, kConnectMs)) {
            // No 0x80: the operator gives up on this head.
            (void)d.Click(IDD_UPGRADE, IDC_BTN_PORT);
            outcome.end = End::NoConnection;
            outcome.detail = "no answer to the connection check";
        } else {
            (void)d.Click(IDD_UPGRADE, IDC_BTN_START);
            outcome.end = AwaitEnd(outcome.detail);
            outcome.successClaimed = outcome.end == End::Success;
        }
        if (!WorkerGone()) {
            outcome.end = End::Hang;
            outcome.detail += "; a transfer worker was left running";
        }
    }
    // Answers that were still coming may have opened one more box.
    if (d.WaitIdle(kUiMs) && d.OpenPrompt()) {
        outcome.detail += "; then: " + d.OpenPrompt()->text;
        (void)d.AnswerMessageBox(win::kIdOk);
    }
    outcome.received = head.Received();
    return outcome;
}

}  // namespace soak
