// The port list's entries after COM10: only higher COM numbers, in number order, each once.
#include <gtest/gtest.h>

#include "port_choices.h"
#include "upgrade_window_fixture.h"

namespace {

TEST(PortChoices, HigherComPortsInNumberOrderEachOnce) {
    EXPECT_EQ(
        PortChoicesAfterCom10({"COM100", "COM3", "COM12", "com11", "COM12", "COM10", "COM1", "COM0",
                               "COM012", "COMX", "COM", "COM1234567", "/dev/ttyUSB0"}),
        (std::vector<std::string>{"COM11", "COM12", "COM100"}));
    EXPECT_TRUE(PortChoicesAfterCom10({"COM1", "COM2"}).empty());
}

}  // namespace

TEST_F(UpgradeWindow, PortsPresentBeyondCom10FollowIt) {
    AddHead({});
    AddPty(12);
    AddPty(11);
    AddPty(4);
    Launch();
    const auto ports = m_desktop.Control(IDD_UPGRADE, IDC_COMBO_PORT);
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(ports->items,
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
                                        "COM8", "COM9", "COM10", "COM11", "COM12"}));
    EXPECT_EQ(ports->selection, 0);
    // The entry opens its port.
    ASSERT_TRUE(m_desktop.SelectListItem(IDD_UPGRADE, IDC_COMBO_PORT, 11));
    ASSERT_TRUE(m_desktop.WaitIdle(uitest::kShortMs));
    ExpectNoPrompt();
    EXPECT_EQ(Text(IDC_BTN_PORT), "关闭串口");
}
