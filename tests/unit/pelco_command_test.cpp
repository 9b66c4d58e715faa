#include <gtest/gtest.h>

#include <vector>

#include "pelco_command.h"
#include "serial_link.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(UpgradeModeCommand, PelcoDCarriesTheAddressAndItsSum) {
    EXPECT_EQ(BuildUpgradeModeCommand(1, PELCO_D),
              (Bytes{0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58}));
    EXPECT_EQ(BuildUpgradeModeCommand(5, PELCO_D),
              (Bytes{0xFF, 0x05, 0x00, 0x57, 0x00, 0x00, 0x5C}));
    EXPECT_EQ(BuildUpgradeModeCommand(255, PELCO_D),
              (Bytes{0xFF, 0xFF, 0x00, 0x57, 0x00, 0x00, 0x56}));
}

TEST(UpgradeModeCommand, PelcoPCarriesTheAddressLessOneAndItsXor) {
    EXPECT_EQ(BuildUpgradeModeCommand(1, PELCO_P),
              (Bytes{0xA0, 0x00, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x58}));
    EXPECT_EQ(BuildUpgradeModeCommand(5, PELCO_P),
              (Bytes{0xA0, 0x04, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x5C}));
}

TEST(UpgradeModeCommand, EveryProtocolIndexButOneIsPelcoP) {
    for (const std::uint8_t index : {0, 2, 7, 0xFF}) {
        EXPECT_EQ(BuildUpgradeModeCommand(9, index), BuildUpgradeModeCommand(9, PELCO_P));
    }
}

TEST(UpgradeModeCommand, ChecksumsHoldForEveryAddress) {
    for (int address = 1; address <= 255; ++address) {
        const auto a = static_cast<std::uint8_t>(address);
        EXPECT_EQ(BuildUpgradeModeCommand(a, PELCO_D)[6], static_cast<std::uint8_t>(a + 0x57));
        EXPECT_EQ(BuildUpgradeModeCommand(a, PELCO_P)[7],
                  static_cast<std::uint8_t>((a - 1) ^ 0x58));
    }
}

TEST(UpgradeModeCommand, TextDecodesBackToTheSameBytes) {
    const Bytes command = BuildUpgradeModeCommand(5, PELCO_P);
    const std::string text = FormatCommandText(command);
    EXPECT_EQ(text, "a0  04 00 57 00 00 af 5c");
    Bytes decoded(64);
    decoded.resize(CSerialLink::DecodeHexText(text, decoded.data(), decoded.size()));
    EXPECT_EQ(decoded, command);
}

TEST(SpeedTable, KnownIndexesSetTheSpeedOthersLeaveItUnchanged) {
    EXPECT_EQ(ApplySpeedIndex(0, 115200), 2400);
    EXPECT_EQ(ApplySpeedIndex(1, 115200), 4800);
    EXPECT_EQ(ApplySpeedIndex(2, 115200), 9600);
    EXPECT_EQ(ApplySpeedIndex(3, 115200), 19200);
    EXPECT_EQ(ApplySpeedIndex(4, 115200), 115200);
    EXPECT_EQ(ApplySpeedIndex(0xFF, 4800), 4800);
    EXPECT_EQ(SpeedIndexForBaudRate(9600), std::optional<std::uint8_t>(2));
    EXPECT_EQ(SpeedIndexForBaudRate(115200), std::nullopt);
}

}  // namespace
