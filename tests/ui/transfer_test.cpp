// Whole upgrades through the main window: the transfer worker, the head's answers, and the
// faults a technician meets, with simulated heads and with heads the test plays on a pty.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <thread>

#include "upgrade_window_fixture.h"

using uitest::AnswerFrame;
using uitest::kShortMs;
using uitest::kTransferMs;

namespace {
constexpr std::size_t kFrame = 4107;

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image) {
    const std::size_t blocks = std::max<std::size_t>(1, (image.size() + 4095) / 4096);
    image.resize(blocks * 4096, 0xFF);
    return image;
}

// Frames go out byte by byte; a sanitizer build on a busy machine needs its time.
constexpr int kFrameMs = 20000;

std::vector<std::uint8_t> NextFrame(PtyPair& head) {
    return head.Receive(kFrame, kFrameMs);
}

std::uint32_t LoadAddressOf(const std::vector<std::uint8_t>& frame) {
    if (frame.size() < 6) {
        return 0;
    }
    return (std::uint32_t{frame[2]} << 24U) | (std::uint32_t{frame[3]} << 16U) |
           (std::uint32_t{frame[4]} << 8U) | frame[5];
}
}  // namespace

class WindowTransfer : public UpgradeWindow {
  protected:
    // Image chosen, the device dialog left with Esc: the test's head is already listening.
    void ChooseImageWithoutSwitch(const std::string& path) {
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
        ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
        ASSERT_TRUE(m_desktop.AnswerFileDialog(path));
        ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
        ASSERT_TRUE(m_desktop.PressEscape(IDD_DEVICE));
        ASSERT_TRUE(
            m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    }

    // A pty head with a chosen image and the start button enabled by its 0x80.
    PtyPair& StartWithPtyHead(std::size_t imageSize) {
        PtyPair& head = AddPty();
        Launch();
        ChooseImageWithoutSwitch(WriteImage(uitest::PatternImage(imageSize), "image.bin"));
        head.Send({0x80});
        EXPECT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_START); }, kShortMs));
        EXPECT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
        return head;
    }

    std::int32_t GoAhead() const { return m_dialog->State().g_bGoAhead; }
};

class WholeUpgrade : public WindowTransfer, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(WholeUpgrade, ImageArrivesWholeAndTheWindowSaysSo) {
    const std::size_t size = GetParam();
    HeadSimOptions options;
    options.once = true;
    HeadSimulator& head = AddHead(options);
    Launch();
    const auto image = uitest::PatternImage(size);
    ChooseImage(WriteImage(image, "firmware.bin"));
    const std::int64_t total = static_cast<std::int64_t>(kFrame * ((size + 4095) / 4096));
    EXPECT_EQ(Text(IDC_STATIC_TOTAL), std::to_string(total));
    Connect();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ExpectMessage("更新成功!", kTransferMs);
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));

    EXPECT_TRUE(m_desktop.WaitUntil([&] { return Text(IDC_STATIC_SENT) == std::to_string(total); },
                                    kShortMs));
    const auto progress = m_desktop.Control(IDD_UPGRADE, IDC_PROGRESS);
    ASSERT_TRUE(progress.has_value());
    EXPECT_EQ(progress->rangeHigh, static_cast<std::int32_t>(size));
    EXPECT_EQ(progress->position, static_cast<std::int32_t>(size));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_FALSE(Enabled(IDC_BTN_CONNECT));
    EXPECT_TRUE(Enabled(IDC_BTN_SELECT));
    EXPECT_FALSE(WorkerRecorded()) << "the worker ends with the transfer";
    EXPECT_EQ(m_dialog->State().g_pImage.load(), nullptr);

    ASSERT_TRUE(head.WaitUntilDone(kShortMs));
    EXPECT_EQ(uitest::ReadFile(m_dir + "/received-1.bin"), Padded(image));
    EXPECT_EQ(head.Summary().resends, 0);
}

INSTANTIATE_TEST_SUITE_P(ImageSizes, WholeUpgrade, ::testing::Values(1, 4095, 4096, 4097, 300000));

TEST_F(WindowTransfer, ChecksumErrorsResendTheSameBlockAfterTheMessage) {
    HeadSimOptions options;
    options.badSumAt = {1};
    options.answer81At = {2};
    options.once = true;
    HeadSimulator& head = AddHead(options);
    Launch();
    const auto image = uitest::PatternImage(3 * 4096 + 10);
    ChooseImage(WriteImage(image, "firmware.bin"));
    Connect();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ExpectMessage("校验错误", kTransferMs);
    ExpectMessage("校验错误", kTransferMs);
    ExpectMessage("更新成功!", kTransferMs);
    EXPECT_TRUE(m_desktop.WaitUntil(
        [this] { return Text(IDC_STATIC_SENT) == std::to_string(6 * kFrame); }, kShortMs));
    ASSERT_TRUE(head.WaitUntilDone(kShortMs));
    EXPECT_EQ(head.Summary().resends, 2);
    EXPECT_EQ(uitest::ReadFile(m_dir + "/received-1.bin"), Padded(image));

    // A second upgrade in the same run keeps counting.
    ChooseImage(WriteImage(uitest::PatternImage(10), "small.bin"));
    EXPECT_EQ(Text(IDC_STATIC_TOTAL), std::to_string(kFrame));
}

TEST_F(WindowTransfer, FailureAndTimeOutAnswersEndTheTransfer) {
    for (const bool timeout : {false, true}) {
        SCOPED_TRACE(timeout ? "0x87" : "0x86");
        HeadSimOptions options;
        (timeout ? options.timeoutAt : options.failAt) = 1;
        AddHead(options, timeout ? 2 : 1);
        if (!timeout) {
            Launch();
        } else {
            ASSERT_TRUE(m_desktop.SelectListItem(IDD_UPGRADE, IDC_COMBO_PORT, 1));
            ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
        }
        ChooseImage(WriteImage(uitest::PatternImage(3 * 4096), "firmware.bin"));
        Connect();
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
        ExpectMessage(timeout ? "更新超时!" : "更新失败!", kTransferMs);
        ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
        EXPECT_FALSE(WorkerRecorded());
        EXPECT_FALSE(Enabled(IDC_BTN_START));
    }
}

TEST_F(WindowTransfer, VanishedPortEndsTheTransferAndIsNotCountedAsSent) {
    HeadSimOptions options;
    options.vanishAt = 1;
    AddHead(options);
    Launch();
    ChooseImage(WriteImage(uitest::PatternImage(3 * 4096), "firmware.bin"));
    Connect();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ExpectMessage("串口写入失败, 升级中断! 请检查串口后重新打开.", kTransferMs);
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(WorkerRecorded());
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    const auto sent = std::stoll(Text(IDC_STATIC_SENT));
    // Frame 1 may have gone into the port's buffer whole before the head went.
    EXPECT_GT(sent, static_cast<long long>(kFrame));
    EXPECT_LE(sent, static_cast<long long>(2 * kFrame));
}

TEST_F(WindowTransfer, OnlyTheFirstByteOfAChunkCounts) {
    PtyPair& head = AddPty();
    Launch();
    ChooseImageWithoutSwitch(WriteImage(uitest::PatternImage(5000), "image.bin"));
    head.Send({0x80, 0x82});
    ASSERT_TRUE(m_desktop.WaitUntil(
        [this] { return Enabled(IDC_BTN_START) && Text(IDC_BTN_CONNECT) == "连接成功"; },
        kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    // Bytes outside the table change nothing: the worker keeps waiting.
    for (const std::uint8_t noise : {0x85, 0x88, 0x00, 0x7F}) {
        head.Send({noise});
        ASSERT_TRUE(
            m_desktop.WaitUntil([&] { return m_dialog->LastResponse() == noise; }, kShortMs));
    }
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(GoAhead(), 0);
    EXPECT_TRUE(head.Receive(1, 200).empty());
    AnswerFrame(head, {0x82, 0x84});  // acts as 0x82: the last frame goes out
    const auto second = NextFrame(head);
    ASSERT_EQ(second.size(), kFrame);
    EXPECT_EQ(LoadAddressOf(second), 0x21000U);
    EXPECT_EQ(second[1], 1);
    ExpectNoPrompt();
}

// An accept handled while "checksum error" is open releases the worker at once; closing the
// box then resends only if the worker has finished that frame and waits again.
TEST_F(WindowTransfer, AcceptWhileTheChecksumMessageIsOpenReleasesAtOnce) {
    PtyPair& head = StartWithPtyHead(3 * 4096);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    AnswerFrame(head, {0x83});
    const auto prompt = m_desktop.WaitForPrompt(kShortMs);
    ASSERT_TRUE(prompt && prompt->text == "校验错误");
    // XOFF first, so the released worker is still sending when the box closes.
    head.Send({0x13, 0x82});
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_dialog->LastResponse() == 0x82; }, kShortMs));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return GoAhead() == 1; }, kShortMs));
    ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdOk));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    head.Send({0x11});  // XON
    const auto second = NextFrame(head);
    ASSERT_EQ(second.size(), kFrame);
    EXPECT_EQ(LoadAddressOf(second), 0x21000U);
    EXPECT_TRUE(head.Receive(1, 300).empty()) << "closing the box released the worker again";

    // Closed while the worker waits on the next frame: the head accepted the damaged one after
    // all, so nothing is rewound; the next frame's own answer moves the transfer on.
    AnswerFrame(head, {0x83});
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    AnswerFrame(head, {0x82});
    const auto third = NextFrame(head);
    EXPECT_EQ(LoadAddressOf(third), 0x22000U);
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return GoAhead() == 0; }, kShortMs));
    ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdOk));
    EXPECT_TRUE(head.Receive(1, 300).empty()) << "a block the head never reported was resent";
}

// An answer counts only for a frame that could have crossed the wire whole when it arrived: an
// earlier 0x82, 0x81 or 0x83 (stale or repeated) moves, resends and releases nothing, and the
// frame's own answer still counts; an earlier 0x84 is no success.
struct AnswerTimingCase {
    std::uint8_t answer;
    bool onTime;
    const char* message;        // "" for none
    std::uint32_t nextFrameAt;  // load address of the frame the answer sends; 0 for none
    std::int32_t progress;
};

class AnswerTiming : public WindowTransfer, public ::testing::WithParamInterface<AnswerTimingCase> {
  protected:
    // As the receive worker posts a chunk, stamped with when it arrived.
    void PostAnswer(std::uint8_t answer, PortClock::time_point arrivedAt) {
        auto chunk = std::make_unique<PortChunk>();
        chunk->bytes = {answer};
        chunk->arrivedAt = arrivedAt;
        ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, WM_PORT_DATA,
                                     reinterpret_cast<std::uintptr_t>(chunk.get()), 1));
        (void)chunk.release();
    }
};

std::string AnswerTimingName(const ::testing::TestParamInfo<AnswerTimingCase>& info) {
    std::array<char, 24> name{};
    std::snprintf(name.data(), name.size(), "Answer%02X%s", info.param.answer,
                  info.param.onTime ? "OnTime" : "Early");
    return name.data();
}

TEST_P(AnswerTiming, OnlyAnAnswerTheWireAllowsMovesTheTransfer) {
    const AnswerTimingCase& c = GetParam();
    const PortClock::time_point beforeTheFrame = PortClock::now();
    PtyPair& head = StartWithPtyHead(100);  // one short block: the frame marked last
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return GoAhead() == 0; }, kShortMs));
    if (c.onTime) {
        AnswerFrame(head, {c.answer});
    } else {
        PostAnswer(c.answer, beforeTheFrame);
    }
    if (*c.message != '\0') {
        ExpectMessage(c.message);
    }
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    if (c.nextFrameAt != 0) {
        EXPECT_EQ(LoadAddressOf(NextFrame(head)), c.nextFrameAt);
    } else {
        EXPECT_TRUE(head.Receive(1, 300).empty());
    }
    EXPECT_EQ(m_desktop.Control(IDD_UPGRADE, IDC_PROGRESS)->position, c.progress);
    ExpectNoPrompt();
    if (WorkerRecorded()) {
        // Whatever came before, the frame on the line takes its own answer: the fill frame.
        AnswerFrame(head, {0x82});
        EXPECT_EQ(LoadAddressOf(NextFrame(head)), 0x20064U);
    }
}

INSTANTIATE_TEST_SUITE_P(EarlyAndOnTime, AnswerTiming,
                         ::testing::Values(AnswerTimingCase{0x82, false, "", 0, 0},
                                           AnswerTimingCase{0x82, true, "", 0x20064, 100},
                                           AnswerTimingCase{0x81, false, "", 0, 0},
                                           AnswerTimingCase{0x81, true, "校验错误", 0x20000, 0},
                                           AnswerTimingCase{0x83, false, "", 0, 0},
                                           AnswerTimingCase{0x83, true, "校验错误", 0x20000, 0},
                                           AnswerTimingCase{0x84, false,
                                                            "云台提前应答, 更新未完成!", 0, 0},
                                           AnswerTimingCase{0x84, true, "更新成功!", 0, 100}),
                         AnswerTimingName);

TEST_F(WindowTransfer, ChecksumErrorResendsWithTheSameLoadAddress) {
    PtyPair& head = StartWithPtyHead(2 * 4096);
    const auto first = NextFrame(head);
    AnswerFrame(head, {0x82});
    const auto second = NextFrame(head);
    ASSERT_EQ(second.size(), kFrame);
    AnswerFrame(head, {0x81});
    ExpectMessage("校验错误");
    const auto resent = NextFrame(head);
    EXPECT_EQ(resent, second);
    EXPECT_EQ(LoadAddressOf(resent), 0x21000U);
    EXPECT_TRUE(m_desktop.WaitUntil(
        [this] { return Text(IDC_STATIC_SENT) == std::to_string(3 * kFrame); }, kShortMs));
    EXPECT_NE(first, second);
}

TEST_F(WindowTransfer, CompleteBeforeTheLastFrameIsNoSuccess) {
    PtyPair& head = StartWithPtyHead(3 * 4096);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    AnswerFrame(head, {0x84});
    ExpectMessage("云台提前应答, 更新未完成!");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(WorkerRecorded());
    for (const auto& prompt : m_desktop.PromptHistory()) {
        EXPECT_NE(prompt.text, "更新成功!");
    }
    // A stray "complete" with no transfer at all is no success either.
    head.Send({0x84});
    ExpectNoPrompt();
}

TEST_F(WindowTransfer, CompleteWhileTheLastFrameIsReportedDamagedIsNoSuccess) {
    PtyPair& head = StartWithPtyHead(100);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    AnswerFrame(head, {0x83});
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    head.Send({0x84});
    ASSERT_TRUE(m_desktop.WaitUntil(
        [this] {
            const auto open = m_desktop.OpenPrompt();
            return open && open->text == "云台提前应答, 更新未完成!";
        },
        kShortMs));
    ExpectMessage("云台提前应答, 更新未完成!");
    ExpectMessage("校验错误");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(WorkerRecorded());
    EXPECT_TRUE(head.Receive(1, 300).empty());
}

TEST_F(WindowTransfer, AcceptOfTheLastFrameSendsTheFillFrameThenCompleteSucceeds) {
    PtyPair& head = StartWithPtyHead(4096);
    const auto last = NextFrame(head);
    ASSERT_EQ(last[1], 1);
    AnswerFrame(head, {0x82});
    const auto fill = NextFrame(head);
    ASSERT_EQ(fill.size(), kFrame);
    EXPECT_EQ(fill[1], 1);
    EXPECT_EQ(LoadAddressOf(fill), 0x21000U);
    EXPECT_TRUE(std::all_of(fill.begin() + 8, fill.begin() + 8 + 4096,
                            [](std::uint8_t b) { return b == 0xFF; }));
    AnswerFrame(head, {0x84});
    ExpectMessage("更新成功!");
}

TEST_F(WindowTransfer, OperatorClosingThePortEndsTheTransferAndIsTold) {
    PtyPair& head = StartWithPtyHead(3 * 4096);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return GoAhead() == 0; }, kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectMessage("串口已关闭, 升级中断!");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(WorkerRecorded());
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
}

TEST_F(WindowTransfer, WriteHeldByXoffLeavesTheWindowUsableAndClosingThePortEndsIt) {
    PtyPair& head = AddPty();
    Launch();
    ChooseImageWithoutSwitch(WriteImage(uitest::PatternImage(3 * 4096), "image.bin"));
    // XOFF, then the check's answer: once the window has the answer, the line is held.
    head.Send({0x13, 0x80});
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_START); }, kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return WorkerRecorded(); }, kShortMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto sentBefore = m_dialog->State().g_nSentCount.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(m_dialog->State().g_nSentCount.load(), static_cast<std::int32_t>(kFrame));
    EXPECT_EQ(m_dialog->State().g_nSentCount.load(), sentBefore) << "XOFF did not hold the line";
    // The window still answers, and closing the port ends the held write.
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectMessage("串口已关闭, 升级中断!");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(WorkerRecorded());
}

TEST_F(WindowTransfer, ClosingTheWindowDuringATransferAsksFirst) {
    PtyPair& head = StartWithPtyHead(3 * 4096);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    for (const auto key : {0, 1, 2}) {
        if (key == 0) {
            m_desktop.PressEnter(IDD_UPGRADE);
        } else if (key == 1) {
            m_desktop.PressEscape(IDD_UPGRADE);
        } else {
            m_desktop.PressCloseBox(IDD_UPGRADE);
        }
        const auto prompt = m_desktop.WaitForPrompt(kShortMs);
        ASSERT_TRUE(prompt.has_value());
        EXPECT_EQ(prompt->text, "正在升级, 确定要退出吗?");
        EXPECT_EQ(prompt->style, win::kMbYesNo | win::kMbIconQuestion);
        ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdNo));
        ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
        EXPECT_TRUE(m_desktop.IsOpen(IDD_UPGRADE));
    }
    m_desktop.PressCloseBox(IDD_UPGRADE);
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdYes));
    EXPECT_TRUE(m_desktop.WaitForExit(kShortMs));
}

TEST_F(WindowTransfer, ImageCannotBeChangedUnderARunningTransfer) {
    PtyPair& head = StartWithPtyHead(3 * 4096);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ExpectMessage("正在升级, 不能更换文件! 如需中止, 请先关闭串口.");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_TRUE(WorkerRecorded());
    AnswerFrame(head, {0x82});
    EXPECT_EQ(LoadAddressOf(NextFrame(head)), 0x21000U);
}

// A head that answers the connection check late (or twice) sends 0x80 while frames go out: it
// changes no button, so no second start can begin again in the middle of the transfer. Once the
// head has given up, a new start sends the unanswered block again, and the answer the head still
// owed the abandoned frame counts for nothing.
TEST_F(WindowTransfer, ALateConnectAnswerChangesNothingMidTransferNorALateAnswerAfterARestart) {
    PtyPair& head = StartWithPtyHead(3 * 4096);
    ASSERT_EQ(NextFrame(head).size(), kFrame);
    head.Send({0x80});
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_dialog->LastResponse() == 0x80; }, kShortMs));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    AnswerFrame(head, {0x82});
    EXPECT_EQ(LoadAddressOf(NextFrame(head)), 0x21000U);

    AnswerFrame(head, {0x86});
    ExpectMessage("更新失败!");
    head.Send({0x80});
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_START); }, kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    EXPECT_EQ(LoadAddressOf(NextFrame(head)), 0x21000U) << "the unanswered block again";
    head.Send({0x82});  // owed to the abandoned frame
    EXPECT_TRUE(head.Receive(1, 300).empty()) << "a stale answer released the new frame";
    AnswerFrame(head, {0x82});
    const auto last = NextFrame(head);
    EXPECT_EQ(LoadAddressOf(last), 0x22000U);
    EXPECT_EQ(last[1], 1);
    AnswerFrame(head, {0x84});
    ExpectMessage("更新成功!");
}

// After a good image, a refused one leaves no image: none is shown, and none can be started.
TEST_F(WindowTransfer, ImagesThatCannotBeSentAreRefusedAtTheChoice) {
    PtyPair& head = AddPty();
    Launch();
    const std::string good = WriteImage(uitest::PatternImage(5000), "good.bin");
    const std::string fifo = m_dir + "/pipe.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {WriteImage({}, "empty.bin"), "文件为空, 不能升级!"},
        {fifo, "不是普通文件, 不能升级!"},
        {m_dir, "不是普通文件, 不能升级!"},
        {m_dir + "/missing.bin", "文件不可读!"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        ChooseImageWithoutSwitch(good);
        ASSERT_EQ(Text(IDC_EDIT_PATH), good);
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
        ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
        ASSERT_TRUE(m_desktop.AnswerFileDialog(path));
        ExpectMessage(message);
        ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
        EXPECT_FALSE(m_desktop.IsOpen(IDD_DEVICE));
        EXPECT_EQ(m_dialog->State().g_pImage.load(), nullptr);
        EXPECT_EQ(Text(IDC_EDIT_PATH), "");
        EXPECT_EQ(Text(IDC_STATIC_TOTAL), "");
        // Even the head's answer to the check cannot make the refused choice startable.
        head.Send({0x80});
        ASSERT_TRUE(
            m_desktop.WaitUntil([this] { return Text(IDC_BTN_CONNECT) == "连接成功"; }, kShortMs));
        EXPECT_FALSE(Enabled(IDC_BTN_START));
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));  // closed and opened again
        ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
        ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    }
    // A read-only image is fine.
    const std::string readOnly = WriteImage(uitest::PatternImage(10), "ro.bin");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerFileDialog(readOnly));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    ASSERT_TRUE(m_desktop.PressEscape(IDD_DEVICE));
    // Cancelling the file dialog keeps the image.
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerFileDialog(std::nullopt));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_NE(m_dialog->State().g_pImage.load(), nullptr);
    EXPECT_EQ(Text(IDC_EDIT_PATH), readOnly);
}
