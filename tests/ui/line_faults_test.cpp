// The window against a head the test plays on a pty: every frame the head receives is the frame
// of its block, resends included; a "complete" while the last frame is still held back is no
// success; a line held by XOFF never freezes the window; a port that goes away while idle is
// told. Expected texts and bytes are literal.
#include <atomic>
#include <mutex>
#include <thread>

#include "expected_frame.h"
#include "serial_upgrade_line.h"
#include "upgrade_window_fixture.h"

using uitest::AnswerFrame;
using uitest::kShortMs;

namespace {
constexpr int kFrameMs = 20000;
}  // namespace

class LineFaults : public UpgradeWindow {
  protected:
    // A pty head, the image chosen (the device dialog left with Esc) and started after 0x80.
    PtyPair& StartWithPtyHead(const Bytes& image) {
        PtyPair& head = AddPty();
        Launch();
        EXPECT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
        EXPECT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
        EXPECT_TRUE(m_desktop.AnswerFileDialog(WriteImage(image, "image.bin")));
        EXPECT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
        EXPECT_TRUE(m_desktop.PressEscape(IDD_DEVICE));
        head.Send({0x80});
        EXPECT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_START); }, kShortMs));
        EXPECT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
        return head;
    }
};

TEST_F(LineFaults, EveryFrameTheHeadReceivesIsItsBlockResendsIncluded) {
    // Seven frames, the short last block among them; frames 2 and 6 reported damaged once.
    const Bytes image = uitest::PatternImage(6 * 4096 + 50);
    PtyPair& head = StartWithPtyHead(image);
    const std::vector<std::pair<std::size_t, std::uint8_t>> script = {
        {0, 0x82},     {4096, 0x82},  {8192, 0x83},  {8192, 0x82},  {12288, 0x82},
        {16384, 0x82}, {20480, 0x82}, {24576, 0x81}, {24576, 0x84},
    };
    for (std::size_t i = 0; i < script.size(); ++i) {
        const auto [offset, answer] = script[i];
        const Bytes frame = head.Receive(4107, kFrameMs);
        ASSERT_EQ(frame, ExpectedFrame(image, offset)) << "frame " << i << " at " << offset;
        if (i == 1) {
            // The taskbar button follows the transfer's own bytes.
            ASSERT_TRUE(m_desktop.WaitUntil(
                [this] { return m_desktop.Taskbar(IDD_UPGRADE).done == 8214; }, kShortMs));
            EXPECT_EQ(m_desktop.Taskbar(IDD_UPGRADE).state, TaskbarProgress::Normal);
            EXPECT_EQ(m_desktop.Taskbar(IDD_UPGRADE).total, 28749);
        }
        AnswerFrame(head, {answer});
        if (answer == 0x81 || answer == 0x83) {
            ExpectMessage("校验错误");
        }
    }
    ExpectMessage("更新成功!");
    EXPECT_TRUE(head.Receive(1, 300).empty()) << "nothing after the head's complete";
    EXPECT_TRUE(m_desktop.WaitUntil([this] { return Text(IDC_STATIC_SENT) == "36963"; }, kShortMs));
    EXPECT_EQ(m_desktop.Taskbar(IDD_UPGRADE).state, TaskbarProgress::None);
}

// Records the window thread's pauses (really taking them) with the bytes sent at that moment.
class RecordingClock final : public IUpgradeClock {
  public:
    explicit RecordingClock(const std::atomic<std::int32_t>* sent) : m_sent(sent) {}
    std::int64_t NowMs() override { return m_real.NowMs(); }
    void SleepMs(int ms) override {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            pauses.emplace_back(ms, m_sent != nullptr ? m_sent->load() : -1);
        }
        m_real.SleepMs(ms);
    }
    std::mutex mutex;
    std::vector<std::pair<int, std::int32_t>> pauses;  // (ms, g_nSentCount)
    const std::atomic<std::int32_t>* m_sent;

  private:
    CSteadyClock m_real;
};

TEST_F(LineFaults, AnAcceptedFramePausesTwentyMillisecondsBeforeTheNextGoesOut) {
    AddPty();
    RecordingClock clock(nullptr);
    m_dialog = std::make_unique<CUpgradeDlg>(m_desktop, &clock);
    clock.m_sent = &m_dialog->State().g_nSentCount;
    m_desktop.Launch([this] { (void)m_dialog->DoModal(m_desktop); });
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_UPGRADE); }, kShortMs));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    PtyPair& head = *m_ptys.back();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerFileDialog(WriteImage(uitest::PatternImage(3 * 4096), "i.bin")));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    ASSERT_TRUE(m_desktop.PressEscape(IDD_DEVICE));
    head.Send({0x80});
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_START); }, kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ASSERT_EQ(head.Receive(4107, kFrameMs).size(), 4107U);
    std::this_thread::sleep_for(std::chrono::milliseconds(uitest::kFrameWireMs));
    const auto accepted = std::chrono::steady_clock::now();
    head.Send({0x82});
    const std::size_t first = head.Receive(1, kFrameMs).size();  // the next frame's beginning
    EXPECT_GE(std::chrono::steady_clock::now() - accepted, std::chrono::milliseconds(20))
        << "the next frame began less than 20 ms after the head's answer";
    ASSERT_EQ(head.Receive(4107 - first, kFrameMs).size(), 4107 - first);
    const std::lock_guard<std::mutex> lock(clock.mutex);
    // One pause (less what the answer took to reach the window).
    ASSERT_EQ(clock.pauses.size(), 1U);
    EXPECT_LE(clock.pauses[0].first, 20);
    // Taken before any byte of the next frame (the last chunk of this one may still be uncounted:
    // the head can answer before the worker counts it).
    EXPECT_LE(clock.pauses[0].second, 4107);
}

// However a transfer ends before its frame is accepted, a new start sends that block again: a
// block is never skipped, so a later "complete" cannot hide a hole in the image.
TEST_F(LineFaults, ANewStartAfterTheHeadGaveUpResendsTheBlockItNeverAccepted) {
    const Bytes image = uitest::PatternImage(3 * 4096);
    PtyPair& head = StartWithPtyHead(image);
    ASSERT_EQ(head.Receive(4107, kFrameMs), ExpectedFrame(image, 0));
    AnswerFrame(head, {0x82});
    ASSERT_EQ(head.Receive(4107, kFrameMs), ExpectedFrame(image, 4096));
    AnswerFrame(head, {0x86});
    ExpectMessage("更新失败!");
    head.Send({0x80});
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_START); }, kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    EXPECT_EQ(head.Receive(4107, kFrameMs), ExpectedFrame(image, 4096));
}

TEST_F(LineFaults, CompleteWhileTheLastFrameIsHeldBackIsNoSuccess) {
    const Bytes image = uitest::PatternImage(2 * 4096 + 7);
    PtyPair& head = StartWithPtyHead(image);
    ASSERT_EQ(head.Receive(4107, kFrameMs).size(), 4107U);
    AnswerFrame(head, {0x82});
    ASSERT_EQ(head.Receive(4107, kFrameMs).size(), 4107U);
    // Frame 1 accepted with the line held: the last frame cannot go out, yet the head says
    // "complete" 40 ms later.
    AnswerFrame(head, {0x13, 0x82});
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    head.Send({0x84});
    // The line frees soon after: the last frame then goes out whole, but too late for that
    // "complete" to answer it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    head.Send({0x11});
    ExpectMessage("云台提前应答, 更新未完成!");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(m_desktop.Taskbar(IDD_UPGRADE).state, TaskbarProgress::Error);
    const auto history = m_desktop.PromptHistory();
    for (const auto& prompt : history) {
        EXPECT_NE(prompt.text, "更新成功!");
    }
}

// The worker's write fails (the far end goes while the line holds the last frame back) after a
// "complete" has arrived but before the window has handled either: the transfer is over and
// the operator is told why; the "complete" answers no frame.
TEST_F(LineFaults, ACompleteQueuedAheadOfAFailedWriteIsNoAnswer) {
    PtyPair& head = StartWithPtyHead(uitest::PatternImage(4096 + 10));
    ASSERT_EQ(head.Receive(4107, kFrameMs).size(), 4107U);
    AnswerFrame(head, {0x13, 0x82});
    ASSERT_TRUE(m_desktop.WaitUntil(
        [this] { return m_dialog->State().g_nSentCount.load() == 4107; }, kShortMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last frame is held
    m_desktop.HoldMessages(true);
    auto chunk = std::make_unique<PortChunk>();
    chunk->bytes = {0x84};
    ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, WM_PORT_DATA,
                                 reinterpret_cast<std::uintptr_t>(chunk.get()), 1));
    (void)chunk.release();  // the window's now
    head.CloseMaster();
    EXPECT_TRUE(m_desktop.WaitUntil([this] { return WorkerGone(); }, kShortMs));
    m_desktop.HoldMessages(false);
    ExpectMessage("串口写入失败, 升级中断! 请检查串口后重新打开.");
    ExpectNoPrompt();
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    for (const auto& prompt : m_desktop.PromptHistory()) {
        EXPECT_TRUE(prompt.kind == HeadlessPrompt::Kind::FileDialog ||
                    prompt.text == "串口写入失败, 升级中断! 请检查串口后重新打开.")
            << prompt.text;
    }
}

TEST_F(LineFaults, AConnectionCheckHeldByXoffLeavesTheWindowUsable) {
    PtyPair& head = AddPty();
    Launch();
    // A reopening enables the check, as the switch leaves it.
    ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, WM_PORT_REOPEN, 0, 0));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_CONNECT); }, kShortMs));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    head.Send({0x13});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto clicked = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_CONNECT));
    ExpectMessage("串口发送超时, 线路被阻塞! 请检查云台连线和流控(XOFF)后重试.", 5000);
    EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::seconds(4));
    // The held bytes were dropped, not sent once XON comes; the window still works.
    head.Send({0x11});
    EXPECT_TRUE(head.Receive(1, 300).empty());
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Text(IDC_BTN_PORT) == "打开串口"; }, kShortMs));
}

// "连接成功" holds only for the opening of the port the head answered on: a close by the
// operator or a lost port puts back "连接云台".
TEST_F(LineFaults, APortLostWhileIdleIsToldAndTheButtonsReset) {
    PtyPair& head = AddPty();
    Launch();
    ASSERT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    const auto connected = [&] {
        head.Send({0x80});
        return m_desktop.WaitUntil([this] { return Text(IDC_BTN_CONNECT) == "连接成功"; },
                                   kShortMs);
    };
    ASSERT_TRUE(connected());
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Text(IDC_BTN_PORT) == "打开串口"; }, kShortMs));
    EXPECT_EQ(Text(IDC_BTN_CONNECT), "连接云台");
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Text(IDC_BTN_PORT) == "关闭串口"; }, kShortMs));
    EXPECT_EQ(Text(IDC_BTN_CONNECT), "连接云台");
    ASSERT_TRUE(connected());
    head.CloseMaster();
    ExpectMessage("串口已断开! 请检查串口后重新打开.", 5000);
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    EXPECT_FALSE(Enabled(IDC_BTN_CONNECT));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_EQ(Text(IDC_BTN_CONNECT), "连接云台");
}
