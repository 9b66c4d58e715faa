// The fault matrix against the window program: heads that fall silent, answer oddly or vanish,
// ports that cannot be had, images that cannot be sent, and an operator who intervenes.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "ser2net_server.h"
#include "window_fault_fixture.h"

using faultwin::kFrameMs;
using faultwin::kOutcomeMs;
using faultwin::kShortMs;

namespace {
constexpr std::size_t kBlock = 4096;

std::vector<std::uint8_t> ThreeBlocks() {
    return uitest::PatternImage(2 * kBlock + 100);
}

// Answers every frame with the honest answer, but frame `sequence` with `answer`.
PlayedHead::Script OddAnswerAt(int sequence, PlayedAnswer answer) {
    return [sequence, answer](const PlayedFrame& frame, const PlayedHead& head) {
        return frame.sequence == sequence ? answer : PlayedHead::HonestScript()(frame, head);
    };
}

// Closes the pty once frame `sequence` has come whole, instead of answering it.
PlayedHead::Script VanishAt(int sequence) {
    return [sequence](const PlayedFrame& frame, const PlayedHead& head) {
        if (frame.sequence == sequence) {
            head.ClosePort();
            return PlayedAnswer{};
        }
        return PlayedHead::HonestScript()(frame, head);
    };
}

PlayedHead::Script SilentFrom(int sequence) {
    return OddAnswerAt(sequence, PlayedAnswer{});
}

// A case's name as a test name: letters and digits, everything else '_'.
std::string TestName(const char* name) {
    std::string result;
    for (const char ch : std::string(name)) {
        result += std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
    }
    return result;
}
}  // namespace

// ---- Heads that fall silent ----

TEST_F(WindowFaults, HeadSilentFromTheStartLeavesStartOffAndThePortUsable) {
    PlayedHead& head = AddPlayedHead(PlayedHead::HonestScript(), false);
    Launch();
    ChooseWithoutSwitch(WriteImage(ThreeBlocks(), "firmware.bin"));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_CONNECT));
    ASSERT_TRUE(m_desktop.WaitUntil([&] { return head.ChecksReceived() == 1; }, kShortMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectNoPrompt();
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_TRUE(Enabled(IDC_BTN_CONNECT)) << "the operator can check again";
    EXPECT_TRUE(WorkerGone());
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectNoPrompt();
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    Record("head silent from the start", "no answer, no message; " + Buttons());
}

TEST_F(WindowFaults, HeadSilentAfterFrameOneWaitsUntilTheOperatorClosesThePort) {
    PlayedHead& head = AddPlayedHead(SilentFrom(1));
    StartUpgrade(ThreeBlocks());
    ASSERT_TRUE(head.WaitForFrames(2, kFrameMs));
    ASSERT_TRUE(
        m_desktop.WaitUntil([this] { return m_dialog->State().g_bGoAhead == 0; }, kShortMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ExpectNoPrompt();
    EXPECT_FALSE(WorkerGone()) << "the worker waits for the head";
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectMessage("串口已关闭, 升级中断!");
    EXPECT_TRUE(WorkerGone());
    EXPECT_EQ(head.FramesReceived(), 2);
    ExpectNoFalseSuccess(head.Image(), ThreeBlocks());
    Record("head silent after frame 1", Messages() + "; " + Buttons());
}

TEST_F(WindowFaults, AnswersThatNeverComeLeaveTheOperatorAWayOnToASecondUpgrade) {
    PlayedHead& head = AddPlayedHead(SilentFrom(0));
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    ASSERT_TRUE(head.WaitForFrames(1, kFrameMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectMessage("串口已关闭, 升级中断!");
    EXPECT_TRUE(WorkerGone());

    // The head comes to; the operator opens the port, chooses the image again and goes on.
    head.SetScript(PlayedHead::HonestScript());
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    ChooseWithoutSwitch(m_dir + "/firmware.bin");
    Connect();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_TRUE(WorkerGone());
    EXPECT_TRUE(head.Image() == faultwin::Padded(image));
    Record("answers never come; operator closes the port, goes on", Messages());
}

// ---- Odd answers ----

TEST_F(WindowFaults, NoiseBytesBeforeEachAnswerAreIgnored) {
    PlayedHead& head = AddPlayedHead([](const PlayedFrame& frame, const PlayedHead& h) {
        PlayedAnswer answer = PlayedHead::HonestScript()(frame, h);
        answer.chunks.insert(answer.chunks.begin(), {0x00, 0x55, 0xAA});
        return answer;
    });
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_TRUE(WorkerGone());
    EXPECT_TRUE(head.Image() == faultwin::Padded(image));
    Record("noise bytes before answers (own chunk)", Messages() + ", image whole");
}

TEST_F(WindowFaults, ChecksumErrorsThenAcceptForOneFrameEndWithTheWholeImage) {
    PlayedHead& head = AddPlayedHead(OddAnswerAt(0, PlayedAnswer{{{0x81}, {0x83}, {0x82}}, 0, 40}));
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_TRUE(WorkerGone());
    EXPECT_TRUE(head.Image() == faultwin::Padded(image));
    ExpectNoFalseSuccess(head.Image(), image);
    Record("0x81, 0x83, 0x82 for one frame", Messages() + ", image whole");
}

TEST_F(WindowFaults, CompleteBeforeTheLastFrameIsReportedAsUnfinished) {
    PlayedHead& head = AddPlayedHead(OddAnswerAt(0, PlayedHead::Answer(0x84)));
    StartUpgrade(ThreeBlocks());
    ExpectMessage("云台提前应答, 更新未完成!", kOutcomeMs);
    EXPECT_TRUE(WorkerGone());
    EXPECT_FALSE(SuccessShown());
    ExpectNoFalseSuccess(head.Image(), ThreeBlocks());
    Record("0x84 before the last frame", Messages() + "; " + Buttons());
}

TEST_F(WindowFaults, AcceptOfTheLastFrameIsFollowedByTheFillFrame) {
    PlayedHead& head = AddPlayedHead([](const PlayedFrame& frame, const PlayedHead& h) {
        // The frame marked last is accepted with 0x82 the first time; the fill frame completes.
        return frame.markedLast && frame.sequence == 2 ? PlayedHead::Answer(0x82)
                                                       : PlayedHead::HonestScript()(frame, h);
    });
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_EQ(head.FramesReceived(), 4) << "three frames and the fill frame";
    EXPECT_TRUE(WorkerGone());
    EXPECT_TRUE(head.Image() == faultwin::Padded(image));
    Record("0x82 to the last frame", "fill frame sent; " + Messages());
}

// Answers sooner than their frame can have crossed the wire: 40 ms after the frame came whole
// through the pty's buffers, where a head reading at the line's pace needs 356.5 ms. A stale or
// repeated 0x82, 0x81 or 0x83 moves nothing (the frame's own answer follows 400 ms later, and
// the head reports the next block damaged once, which must then be resent); an early 0x84 to the
// last frame is no success, even when the window is too busy to handle it before the frame
// could have gone out.
struct EarlyAnswer {
    const char* name;
    std::uint8_t answer;
    int sequence;      // the frame it answers, counted as the head receives them
    bool handledLate;  // the window thread is busy from the frame's end until 500 ms later
};

class WindowEarlyAnswers : public WindowFaults, public ::testing::WithParamInterface<EarlyAnswer> {
  protected:
    PlayedHead::Script EarlyScript(const EarlyAnswer& c) {
        return [this, c](const PlayedFrame& frame, const PlayedHead& head) {
            if (frame.sequence == c.sequence) {
                if (c.handledLate) {
                    m_desktop.HoldMessages(true);
                }
                return c.answer == 0x84 ? PlayedAnswer{{{0x84}}, 40, 40, false}
                                        : PlayedAnswer{{{c.answer}, {0x82}}, 40, 400, false};
            }
            if (c.answer != 0x84 && frame.sequence == 2) {
                return PlayedHead::Answer(0x83);
            }
            return PlayedHead::HonestScript()(frame, head);
        };
    }
};

TEST_P(WindowEarlyAnswers, MoveNothingAndNeverEndInSuccess) {
    const EarlyAnswer c = GetParam();
    const auto image = uitest::PatternImage(4 * kBlock + 100);
    PlayedHead& head = AddPlayedHead(EarlyScript(c));
    StartUpgrade(image);
    if (c.answer == 0x84) {
        if (c.handledLate) {
            ASSERT_TRUE(head.WaitForFrames(c.sequence + 1, kFrameMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            m_desktop.HoldMessages(false);
        }
        ExpectMessage("云台提前应答, 更新未完成!", kOutcomeMs);
        EXPECT_EQ(head.Addresses(),
                  (std::vector<std::uint32_t>{0x20000, 0x21000, 0x22000, 0x23000, 0x24000}));
        EXPECT_FALSE(SuccessShown());
    } else {
        ASSERT_TRUE(AnswerUntil("更新成功!"));
        // Every block once, the damaged one twice: nothing skipped, nothing sent unasked.
        EXPECT_EQ(head.Addresses(), (std::vector<std::uint32_t>{0x20000, 0x21000, 0x22000, 0x22000,
                                                                0x23000, 0x24000}));
        EXPECT_TRUE(head.Image() == faultwin::Padded(image));
        const auto history = m_desktop.PromptHistory();
        EXPECT_EQ(std::count_if(history.begin(), history.end(),
                                [](const HeadlessPrompt& p) { return p.text == "校验错误"; }),
                  1)
            << Messages();
    }
    EXPECT_TRUE(WorkerGone());
    Record(std::string("early ") + c.name, Messages());
}

INSTANTIATE_TEST_SUITE_P(StaleOrEarly, WindowEarlyAnswers,
                         ::testing::Values(EarlyAnswer{"0x82 to frame 1", 0x82, 1, false},
                                           EarlyAnswer{"0x81 to frame 1", 0x81, 1, false},
                                           EarlyAnswer{"0x83 to frame 1", 0x83, 1, false},
                                           EarlyAnswer{"0x84 to the last frame", 0x84, 4, false},
                                           EarlyAnswer{"0x84 to the last frame, handled late", 0x84,
                                                       4, true}),
                         [](const auto& info) { return TestName(info.param.name); });

struct EndAnswer {
    bool timeout;  // 0x87, else 0x86
    int frame;
    const char* where;
};

class WindowEndAnswers : public WindowFaults, public ::testing::WithParamInterface<EndAnswer> {};

TEST_P(WindowEndAnswers, FailureOrTimeOutEndsTheTransferWithItsMessage) {
    const EndAnswer c = GetParam();
    HeadSimOptions options;
    (c.timeout ? options.timeoutAt : options.failAt) = c.frame;
    HeadSimulator& head = AddReadyHead(options);
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    ExpectMessage(c.timeout ? "更新超时!" : "更新失败!", kOutcomeMs);
    EXPECT_TRUE(WorkerGone());
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_FALSE(SuccessShown());
    EXPECT_EQ(head.Summary().framesReceived, c.frame + 1);
    Record(std::string(c.timeout ? "0x87" : "0x86") + " at the " + c.where + " frame",
           Messages() + "; " + Buttons());
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLast, WindowEndAnswers,
                         ::testing::Values(EndAnswer{false, 0, "first"},
                                           EndAnswer{false, 1, "middle"},
                                           EndAnswer{false, 2, "last"}, EndAnswer{true, 0, "first"},
                                           EndAnswer{true, 1, "middle"},
                                           EndAnswer{true, 2, "last"}));

// ---- Ports ----

TEST_F(WindowFaults, PortVanishingMidFrameEndsTheTransferAndClosesThePort) {
    HeadSimOptions options;
    options.vanishAt = 1;
    AddReadyHead(options);
    StartUpgrade(ThreeBlocks());
    ExpectMessage("串口写入失败, 升级中断! 请检查串口后重新打开.", kOutcomeMs);
    EXPECT_TRUE(WorkerGone());
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    EXPECT_FALSE(SuccessShown());
    Record("port vanishes mid-frame (pty closed)", Messages() + "; " + Buttons());
}

TEST_F(WindowFaults, PortVanishingWhileTheWorkerWaitsEndsTheTransferToo) {
    // The whole frame reached the head before its port went: no write of it fails.
    PlayedHead& head = AddPlayedHead(VanishAt(1));
    StartUpgrade(ThreeBlocks());
    ExpectMessage("串口写入失败, 升级中断! 请检查串口后重新打开.", kOutcomeMs);
    EXPECT_TRUE(WorkerGone());
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_FALSE(SuccessShown());
    EXPECT_EQ(head.FramesReceived(), 2);
    Record("port vanishes after a whole frame (pty closed)", Messages() + "; " + Buttons());
}

// A raw TCP port (socket://) cannot change the server's line speed: the device dialog's switch
// says so and sends nothing; a head already in upgrade mode is checked and upgraded there.
TEST_F(WindowFaults, SwitchOnARawNetworkPortIsRefusedAndTheUpgradeStillWorks) {
    ASSERT_EQ(::access(CSer2net::kProgram, X_OK), 0)
        << "ser2net is missing: run scripts/install-deps.sh as root";
    AddPty(1);  // COM1, opened at start and closed again for the network port
    HeadSimOptions options;
    options.once = true;
    HeadSimulator& head = AddReadyHead(options);  // behind ser2net only
    CSer2net server(m_dir, {Ser2netPort(head.SlavePath(), false, "115200n81")}, "ser2net");
    ASSERT_TRUE(server.Started());
    Launch();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.TypeText(IDD_UPGRADE, IDC_COMBO_PORT, server.Name(0)));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    // The label changes before 选择文件 is enabled: wait for both.
    ASSERT_TRUE(m_desktop.WaitUntil(
        [this] { return Text(IDC_BTN_PORT) == "关闭串口" && Enabled(IDC_BTN_SELECT); }, kShortMs));

    const auto image = ThreeBlocks();
    // On a slow machine 选择文件 may still be settling from the opening: click once it takes.
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT); },
                                    kShortMs));
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerFileDialog(WriteImage(image, "firmware.bin")));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    ASSERT_TRUE(m_desktop.Click(IDD_DEVICE, IDC_BTN_LAUNCH));
    ExpectMessage(
        "socket:// 网络端口不能切换波特率, 无法发送升级命令! 请改用 rfc2217:// 端口, "
        "或先使云台进入升级模式后直接点击连接云台.");
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(head.Summary().bytesIgnored, 0) << "the command went out";
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");

    Connect();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    ASSERT_TRUE(head.WaitUntilDone(kShortMs));
    EXPECT_TRUE(uitest::ReadFile(ReceivedBySimulator()) == faultwin::Padded(image));
    Record("switch asked for on socket://", Messages() + "; check and upgrade work there");
}

TEST_F(WindowFaults, BusyPortIsRefusedAndOpensOnceReleased) {
    PlayedHead& head = AddPlayedHead();
    PortHolder holder(head.PortPath());
    ASSERT_TRUE(holder.Held());
    m_dialog = std::make_unique<CUpgradeDlg>(m_desktop);
    m_desktop.Launch([this] { (void)m_dialog->DoModal(m_desktop); });
    ExpectMessage("串口打开错误");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    const std::string outcome = Messages() + "; " + Buttons();
    holder.Release();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    Record("port busy (held by another process)", outcome + "; opens once released");
}

TEST_F(WindowFaults, PortThatIsNotASerialDeviceIsRefused) {
    const std::string file = WriteImage({1, 2, 3}, "not-a-port");
    std::filesystem::create_symlink(file, PortLink(1));
    m_dialog = std::make_unique<CUpgradeDlg>(m_desktop);
    m_desktop.Launch([this] { (void)m_dialog->DoModal(m_desktop); });
    ExpectMessage("串口超时设置错误");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    EXPECT_EQ(uitest::ReadFile(file), (std::vector<std::uint8_t>{1, 2, 3})) << "nothing written";
    Record("port is not a serial device (a file)", Messages() + "; " + Buttons());
}

TEST_F(WindowFaults, PortNameOfThreeHundredCharactersIsRefused) {
    AddPlayedHead();
    Launch();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.TypeText(IDD_UPGRADE, IDC_COMBO_PORT, "COM" + std::string(297, '7')));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectMessage("串口打开错误");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    const std::string outcome = Messages() + "; " + Buttons();
    // A listed port still opens afterwards.
    ASSERT_TRUE(m_desktop.SelectListItem(IDD_UPGRADE, IDC_COMBO_PORT, 0));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    Record("port name of 300 characters", outcome + "; COM1 opens after");
}

TEST_F(WindowFaults, HexTextOfFiveThousandCharactersIsRefusedWhole) {
    PlayedHead& head = AddPlayedHead();
    Launch();
    std::string text;
    while (text.size() < 5000) {
        text += "3f ";
    }
    text.resize(5000);
    EXPECT_EQ(m_dialog->SendHexText(text), 0U);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(head.ChecksReceived(), 0) << "nothing reached the line";
    EXPECT_EQ(m_dialog->SendHexText("3f 3f"), 2U) << "the port still works";
    EXPECT_TRUE(m_desktop.WaitUntil([&] { return head.ChecksReceived() == 1; }, kShortMs));
    Record("hex text of 5000 characters", "SendHexText writes 0 bytes; the port still works");
}

// ---- Images ----

struct RefusedImage {
    const char* name;
    const char* message;
};

class WindowRefusedImages : public WindowFaults,
                            public ::testing::WithParamInterface<RefusedImage> {
  protected:
    std::string Make(const std::string& name) {
        const std::string path = m_dir + "/" + name;
        if (name == "empty") {
            std::ofstream(path).close();
        } else if (name == "a directory") {
            std::filesystem::create_directory(path);
        } else if (name == "a FIFO") {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else if (name == "too large (sparse)") {
            std::ofstream(path).close();
            // Never written: a sparse file one byte past what the 32-bit counters can carry.
            std::filesystem::resize_file(path, 2147483647ULL / 4107 * 4096 + 1);
        }
        return path;  // "missing" is never made
    }
};

TEST_P(WindowRefusedImages, AreRefusedAtTheChoice) {
    const RefusedImage c = GetParam();
    PlayedHead& head = AddPlayedHead();
    Launch();
    // A good image first: the refused one must not leave it, or its path, looking chosen.
    ChooseWithoutSwitch(WriteImage(ThreeBlocks(), "good.bin"));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerFileDialog(Make(c.name)));
    ExpectMessage(c.message);
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(m_desktop.IsOpen(IDD_DEVICE));
    EXPECT_EQ(m_dialog->State().g_pImage.load(), nullptr);
    EXPECT_EQ(Text(IDC_EDIT_PATH), "");
    // Even a head that answers cannot make the refused choice startable.
    head.Pty().Send({0x80});
    ASSERT_TRUE(
        m_desktop.WaitUntil([this] { return Text(IDC_BTN_CONNECT) == "连接成功"; }, kShortMs));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_EQ(head.FramesReceived(), 0);
    EXPECT_TRUE(WorkerGone());
    Record(std::string("image ") + c.name, Messages() + "; no image shown, start stays off");
}

INSTANTIATE_TEST_SUITE_P(Images, WindowRefusedImages,
                         ::testing::Values(RefusedImage{"empty", "文件为空, 不能升级!"},
                                           RefusedImage{"a directory", "不是普通文件, 不能升级!"},
                                           RefusedImage{"a FIFO", "不是普通文件, 不能升级!"},
                                           RefusedImage{"missing", "文件不可读!"},
                                           RefusedImage{"too large (sparse)",
                                                        "文件太大, 不能升级!"}),
                         [](const auto& info) { return TestName(info.param.name); });

struct SentImage {
    const char* name;
    std::size_t size;
    bool readOnly;
    bool flowControlBytes;  // XON and XOFF throughout
};

class WindowSentImages : public WindowFaults, public ::testing::WithParamInterface<SentImage> {};

TEST_P(WindowSentImages, ArriveWhole) {
    const SentImage c = GetParam();
    auto image = uitest::PatternImage(c.size);
    if (c.flowControlBytes) {
        for (std::size_t i = 0; i < image.size(); i += 3) {
            image[i] = (i / 3) % 2 == 0 ? 0x11 : 0x13;
        }
    }
    HeadSimOptions once;
    once.once = true;
    AddReadyHead(once);
    Launch();
    const std::string path = WriteImage(image, "firmware.bin");
    if (c.readOnly) {
        ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    }
    ChooseWithoutSwitch(path);
    Connect();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_START));
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_TRUE(WorkerGone());
    ASSERT_TRUE(m_heads[0]->WaitUntilDone(kShortMs));
    EXPECT_TRUE(uitest::ReadFile(ReceivedBySimulator()) == faultwin::Padded(image));
    EXPECT_EQ(m_heads[0]->Summary().resends, 0);
    Record(std::string("image ") + c.name, Messages() + ", image whole");
}

INSTANTIATE_TEST_SUITE_P(Images, WindowSentImages,
                         ::testing::Values(SentImage{"of one byte", 1, false, false},
                                           SentImage{"of exactly 4096 bytes", 4096, false, false},
                                           SentImage{"read-only", 5000, true, false},
                                           SentImage{"with XON/XOFF throughout", 2 * kBlock + 7,
                                                     false, true}));

// The file changes on disk while the window reads it frame by frame.
class WindowChangingImage : public WindowFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(WindowChangingImage, NeverReachesTheHeadAsSuccess) {
    const bool grows = GetParam();
    const auto image = ThreeBlocks();
    const std::string path = m_dir + "/firmware.bin";
    PlayedHead& head = AddPlayedHead(PlayedHead::ChangingImageScript(path, grows));
    StartUpgrade(image);
    if (grows) {
        // Bytes added after the choice are not part of the image.
        ASSERT_TRUE(AnswerUntil("更新成功!"));
        EXPECT_TRUE(head.Image() == faultwin::Padded(image)) << "the head got the added bytes";
    } else {
        ExpectMessage("文件读取错误, 升级中断!", kOutcomeMs);
        EXPECT_FALSE(SuccessShown());
    }
    EXPECT_TRUE(WorkerGone());
    ExpectNoFalseSuccess(head.Image(), image);
    Record(grows ? "image grows mid-transfer" : "image shrinks mid-transfer",
           Messages() + "; " + Buttons());
}

INSTANTIATE_TEST_SUITE_P(ShrinksOrGrows, WindowChangingImage, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Grows" : "Shrinks"; });

// ---- The operator during a transfer ----

TEST_F(WindowFaults, OperatorClosingThePortMidTransferIsTold) {
    PlayedHead& head = AddPlayedHead(OddAnswerAt(1, PlayedAnswer{{{0x82}}, 3000, 40}));
    StartUpgrade(ThreeBlocks());
    ASSERT_TRUE(head.WaitForFrames(2, kFrameMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ExpectMessage("串口已关闭, 升级中断!");
    EXPECT_TRUE(WorkerGone());
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(SuccessShown());
    Record("operator closes the port during a transfer", Messages() + "; " + Buttons());
}

TEST_F(WindowFaults, OperatorChoosingAnotherImageMidTransferIsRefusedAndTheTransferGoesOn) {
    PlayedHead& head = AddPlayedHead(OddAnswerAt(1, PlayedAnswer{{{0x82}}, 500, 40}));
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    ASSERT_TRUE(head.WaitForFrames(2, kFrameMs));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ExpectMessage("正在升级, 不能更换文件! 如需中止, 请先关闭串口.");
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_TRUE(WorkerGone());
    EXPECT_TRUE(head.Image() == faultwin::Padded(image));
    Record("operator chooses another image during a transfer", Messages() + ", image whole");
}

TEST_F(WindowFaults, ALateConnectAnswerMidTransferOffersNoSecondStart) {
    // The head announces itself again before it answers frame 0 (a check answered late, or a
    // second check): no button changes, so the transfer cannot begin again mid-frame.
    PlayedHead& head = AddPlayedHead(OddAnswerAt(0, PlayedAnswer{{{0x80}, {0x82}}, 0, 200, true}));
    const auto image = ThreeBlocks();
    StartUpgrade(image);
    // Frame 1 follows the 0x82 that came after the 0x80.
    ASSERT_TRUE(head.WaitForFrames(2, kFrameMs));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    ASSERT_TRUE(AnswerUntil("更新成功!"));
    EXPECT_TRUE(WorkerGone());
    EXPECT_EQ(head.Addresses(), (std::vector<std::uint32_t>{0x20000, 0x21000, 0x22000}));
    ExpectNoFalseSuccess(head.Image(), image);
    Record("head answers the check again mid-transfer", Messages() + "; " + Buttons());
}

TEST_F(WindowFaults, OperatorClosingTheWindowMidTransferIsAskedAndMayGoOn) {
    PlayedHead& head = AddPlayedHead(OddAnswerAt(1, PlayedAnswer{{{0x82}}, 3000, 40}));
    StartUpgrade(ThreeBlocks());
    ASSERT_TRUE(head.WaitForFrames(2, kFrameMs));
    ASSERT_TRUE(m_desktop.PressCloseBox(IDD_UPGRADE));
    auto prompt = m_desktop.WaitForPrompt(kShortMs);
    ASSERT_TRUE(prompt.has_value());
    EXPECT_EQ(prompt->text, "正在升级, 确定要退出吗?");
    EXPECT_EQ(prompt->style & win::kMbYesNo, win::kMbYesNo);
    ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdNo));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_TRUE(m_desktop.IsOpen(IDD_UPGRADE));
    EXPECT_FALSE(WorkerGone()) << "\"no\" leaves the transfer running";

    ASSERT_TRUE(m_desktop.PressCloseBox(IDD_UPGRADE));
    prompt = m_desktop.WaitForPrompt(kShortMs);
    ASSERT_TRUE(prompt.has_value());
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_desktop.AnswerMessageBox(win::kIdYes));
    ASSERT_TRUE(m_desktop.WaitForExit(kShortMs));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
    EXPECT_FALSE(WorkerRecorded());
    EXPECT_FALSE(SuccessShown());
    Record("operator closes the window during a transfer",
           "asked (yes/no); no: goes on; yes: window closes, worker ended");
}
