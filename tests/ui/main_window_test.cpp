// The main window as the operator meets it: start-up, the port controls, the device dialog and
// the upgrade-mode switch, with simulated heads behind the ports.
#include <chrono>

#include "device_dlg.h"
#include "upgrade_window_fixture.h"

using uitest::kShortMs;

TEST_F(UpgradeWindow, StartsWithCom1OpenAndOnlyImageChoiceUsable) {
    AddHead({});
    Launch();
    const auto ports = m_desktop.Control(IDD_UPGRADE, IDC_COMBO_PORT);
    ASSERT_TRUE(ports.has_value());
    const std::vector<std::string> expected = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                               "COM6", "COM7", "COM8", "COM9", "COM10"};
    EXPECT_EQ(ports->items, expected);
    EXPECT_EQ(ports->selection, 0);
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    EXPECT_TRUE(Enabled(IDC_BTN_SELECT));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_FALSE(Enabled(IDC_BTN_CONNECT));
    EXPECT_EQ(Text(IDC_BTN_CONNECT), "连接云台");
    EXPECT_FALSE(Visible(IDC_PROGRESS));
    EXPECT_EQ(m_desktop.SystemMenu(IDD_UPGRADE),
              (std::vector<std::string>{"", "关于 Kestrom(&A)..."}));
    ExpectNoPrompt();
    EXPECT_TRUE(m_desktop.UnknownControls().empty());
}

TEST_F(UpgradeWindow, StartsWithoutAPortAndSaysSo) {
    m_dialog = std::make_unique<CUpgradeDlg>(m_desktop);
    m_desktop.Launch([this] { (void)m_dialog->DoModal(m_desktop); });
    const auto prompt = m_desktop.WaitForPrompt(kShortMs);
    ASSERT_TRUE(prompt.has_value());
    EXPECT_EQ(prompt->text, "串口打开错误");
    EXPECT_EQ(prompt->caption, "Open Com");
    EXPECT_EQ(prompt->style, win::kMbIconExclamation | win::kMbOk);
    m_desktop.AnswerMessageBox(win::kIdOk);
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    EXPECT_FALSE(Enabled(IDC_BTN_START));
    EXPECT_FALSE(Enabled(IDC_BTN_CONNECT));
}

TEST_F(UpgradeWindow, PortButtonClosesAndOpensAgain) {
    AddHead({});
    Launch();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));
    EXPECT_EQ(m_dialog->State().g_bPortOpen.load(), 0);

    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    EXPECT_TRUE(Enabled(IDC_BTN_SELECT));
    ExpectNoPrompt();
}

TEST_F(UpgradeWindow, ChoosingAnotherEntryOpensThatPortEvenWhenClosed) {
    AddHead({});
    AddHead({}, 2);
    Launch();
    // COM3 has nothing behind it.
    ASSERT_TRUE(m_desktop.SelectListItem(IDD_UPGRADE, IDC_COMBO_PORT, 2));
    ExpectMessage("串口打开错误");
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_SELECT));

    ASSERT_TRUE(m_desktop.SelectListItem(IDD_UPGRADE, IDC_COMBO_PORT, 1));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    EXPECT_TRUE(Enabled(IDC_BTN_SELECT));
    ExpectNoPrompt();
}

TEST_F(UpgradeWindow, TypedPortNameOpensAPortBeyondTheList) {
    AddHead({}, 1);
    HeadSimOptions inUpgradeMode;
    inUpgradeMode.noCommand = true;
    AddHead(inUpgradeMode, 12);
    Launch();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.TypeText(IDD_UPGRADE, IDC_COMBO_PORT, " COM12 "));
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    ExpectNoPrompt();
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    // The head on COM12 answers the connection check.
    EXPECT_EQ(m_dialog->SendHexText("3f 3f"), 2U);
    EXPECT_TRUE(m_desktop.WaitUntil([this] { return m_dialog->LastResponse() == 0x80; }, kShortMs));
}

TEST_F(UpgradeWindow, ReopenWhileClosedDoesNothingAtOnce) {
    AddHead({});
    Launch();
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, WM_PORT_REOPEN, 0, 0));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
    EXPECT_EQ(Text(IDC_BTN_PORT), "打开串口");
    EXPECT_FALSE(Enabled(IDC_BTN_CONNECT));

    // Open, a reopen from outside pauses and leaves the connection check usable.
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_PORT));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    const auto reopened = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, WM_PORT_REOPEN, 0, 0));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return Enabled(IDC_BTN_CONNECT); }, kShortMs));
    EXPECT_GE(std::chrono::steady_clock::now() - reopened, std::chrono::milliseconds(500));
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
}

TEST_F(UpgradeWindow, HexTextIsTrimmedDecodedAndBoundedBeforeItIsWritten) {
    HeadSimOptions options;
    options.noCommand = true;  // already in upgrade mode: answers the check
    AddHead(options);
    Launch();
    EXPECT_EQ(m_dialog->SendHexText(" 3f 3f\r\n"), 2U);
    EXPECT_TRUE(
        m_desktop.WaitUntil([this] { return Text(IDC_BTN_CONNECT) == "连接成功"; }, kShortMs));
    EXPECT_EQ(m_dialog->SendHexText("zz 3f"), 0U);
    EXPECT_EQ(m_dialog->SendHexText(std::string(4096, 'a')), 0U);
    EXPECT_EQ(m_dialog->SendHexText(std::string(5000, 'a')), 0U);
    EXPECT_EQ(m_dialog->SendHexText(std::string(4094, 'a')), 2047U);
}

TEST_F(UpgradeWindow, DeviceDialogStartsWithItsDefaultsAndRefusesBadAddresses) {
    AddHead({});
    Launch();
    const std::string image = WriteImage(uitest::PatternImage(100), "a.bin");
    ASSERT_TRUE(m_desktop.Click(IDD_UPGRADE, IDC_BTN_SELECT));
    ASSERT_TRUE(m_desktop.WaitForPrompt(kShortMs).has_value());
    ASSERT_TRUE(m_desktop.AnswerFileDialog(image));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(Text(IDC_EDIT_PATH), image);
    EXPECT_TRUE(Visible(IDC_PROGRESS));
    EXPECT_EQ(Text(IDC_STATIC_TOTAL), "4107");
    EXPECT_EQ(m_desktop.Text(IDD_DEVICE, IDC_EDIT_ADDRESS), "1");
    const auto protocols = m_desktop.Control(IDD_DEVICE, IDC_COMBO_PROTOCOL);
    const auto speeds = m_desktop.Control(IDD_DEVICE, IDC_COMBO_SPEED);
    ASSERT_TRUE(protocols && speeds);
    EXPECT_EQ(protocols->items, (std::vector<std::string>{"PELCO_P", "PELCO_D"}));
    EXPECT_EQ(protocols->selection, 1);
    EXPECT_EQ(speeds->items, (std::vector<std::string>{"2400", "4800", "9600", "19200"}));
    EXPECT_EQ(speeds->selection, 0);

    for (const char* bad : {"0", "256", "", "-3", "99999999999999999999"}) {
        ASSERT_TRUE(m_desktop.TypeText(IDD_DEVICE, IDC_EDIT_ADDRESS, bad));
        ASSERT_TRUE(m_desktop.Click(IDD_DEVICE, IDC_BTN_LAUNCH));
        ExpectMessage("输入地址错误!");
        ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
        EXPECT_TRUE(m_desktop.IsOpen(IDD_DEVICE)) << "address \"" << bad << "\"";
    }
    // Esc closes it without a switch.
    ASSERT_TRUE(m_desktop.PressEscape(IDD_DEVICE));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_DEVICE); }, kShortMs));
    ExpectNoPrompt();
    EXPECT_EQ(m_heads[0]->Summary().commandsAccepted + m_heads[0]->Summary().commandsIgnored, 0);
    EXPECT_FALSE(Enabled(IDC_BTN_CONNECT));
}

TEST_F(UpgradeWindow, AddressIsReadAsLeadingDigits) {
    EXPECT_EQ(ParseAddressText(" 12ab"), 12);
    EXPECT_EQ(ParseAddressText("\t+7"), 7);
    EXPECT_EQ(ParseAddressText("ab12"), 0);
    EXPECT_EQ(ParseAddressText("255"), 255);
    EXPECT_GT(ParseAddressText("123456789012345678901234567890"), 255);
}

TEST_F(UpgradeWindow, TheHighestAddressIsAccepted) {
    HeadSimOptions options;
    options.address = 255;
    AddHead(options);
    Launch();
    ChooseImage(WriteImage(uitest::PatternImage(10), "a.bin"), {"255", 1, 0});
    ExpectNoPrompt();
    EXPECT_EQ(m_heads[0]->Summary().commandsAccepted, 1);
    EXPECT_EQ(m_heads[0]->Summary().lastAddress, 255);
}

TEST_F(UpgradeWindow, AddressWithTrailingLettersSwitchesThatHead) {
    HeadSimOptions options;
    options.address = 12;
    AddHead(options);
    Launch();
    ChooseImage(WriteImage(uitest::PatternImage(10), "a.bin"), {" 12ab", 1, 0});
    EXPECT_EQ(m_heads[0]->Summary().commandsAccepted, 1);
    EXPECT_EQ(m_heads[0]->Summary().lastAddress, 12);
}

struct SwitchCase {
    int protocol;
    int speedIndex;
    int speed;
};

class UpgradeModeSwitch : public UpgradeWindow, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(UpgradeModeSwitch, CommandGoesOutAtTheControlSpeedThenTheLineIsAt115200) {
    const SwitchCase c = GetParam();
    HeadSimOptions options;
    options.address = 5;
    options.pelcoP = c.protocol == 0;
    options.speed = c.speed;
    AddHead(options);
    Launch();
    ChooseImage(WriteImage(uitest::PatternImage(10), "a.bin"), {"5", c.protocol, c.speedIndex});
    const HeadSimSummary summary = m_heads[0]->Summary();
    EXPECT_EQ(summary.commandsAccepted, 1);
    EXPECT_EQ(summary.commandBaud, c.speed);
    EXPECT_TRUE(Enabled(IDC_BTN_CONNECT));
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
    Connect();
    EXPECT_EQ(m_heads[0]->Summary().connects, 1);
}

INSTANTIATE_TEST_SUITE_P(EveryProtocolAndSpeed, UpgradeModeSwitch,
                         ::testing::Values(SwitchCase{1, 0, 2400}, SwitchCase{1, 1, 4800},
                                           SwitchCase{1, 2, 9600}, SwitchCase{1, 3, 19200},
                                           SwitchCase{0, 0, 2400}, SwitchCase{0, 1, 4800},
                                           SwitchCase{0, 2, 9600}, SwitchCase{0, 3, 19200}));

TEST_F(UpgradeWindow, AboutBoxOpensFromTheSystemMenuAndMinimisedWindowPaintsItsIcon) {
    AddHead({});
    Launch();
    ASSERT_TRUE(m_desktop.PostTo(IDD_UPGRADE, win::kWmSysCommand, IDM_ABOUT, 0));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return m_desktop.IsOpen(IDD_ABOUT); }, kShortMs));
    EXPECT_EQ(m_desktop.Text(IDD_ABOUT, win::kIdOk), "确定");
    ASSERT_TRUE(m_desktop.Click(IDD_ABOUT, win::kIdOk));
    ASSERT_TRUE(m_desktop.WaitUntil([this] { return !m_desktop.IsOpen(IDD_ABOUT); }, kShortMs));

    ASSERT_TRUE(m_desktop.Minimize(IDD_UPGRADE, true));
    ASSERT_TRUE(
        m_desktop.WaitUntil([this] { return m_desktop.IconPaints(IDD_UPGRADE) == 1; }, kShortMs));
    ASSERT_TRUE(m_desktop.Minimize(IDD_UPGRADE, false));
    ASSERT_TRUE(m_desktop.WaitIdle(kShortMs));
    EXPECT_EQ(m_desktop.IconPaints(IDD_UPGRADE), 1);
}

TEST_F(UpgradeWindow, ClosesCleanlyWithEnterWhenNoTransferRuns) {
    AddHead({});
    Launch();
    ASSERT_TRUE(m_desktop.PressEnter(IDD_UPGRADE));
    EXPECT_TRUE(m_desktop.WaitForExit(kShortMs));
    EXPECT_TRUE(m_desktop.PromptHistory().empty());
}
