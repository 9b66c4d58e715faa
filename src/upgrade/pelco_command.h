// The one camera-control command that puts a head into its upgrade mode, in Pelco-D or
// Pelco-P framing, and the table of control speeds the device dialog offers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Protocol index of the device dialog's list.
constexpr std::uint8_t PELCO_P = 0;
constexpr std::uint8_t PELCO_D = 1;

// Data bytes P0..P3 of the upgrade-mode command.
constexpr std::uint8_t kUpgradeCommandData[4] = {0x00, 0x57, 0x00, 0x00};

// Pelco-D: FF addr P0 P1 P2 P3 sum. Pelco-P (index 0 and any value but 1): A0 addr-1 P0..P3 AF xor.
std::vector<std::uint8_t> BuildUpgradeModeCommand(std::uint8_t address, std::uint8_t protocolIndex);

// The command as hex text: the first byte as "%02x ", every following one as " %02x".
std::string FormatCommandText(const std::vector<std::uint8_t>& command);

// Control speed of a speed index (0 = 2400 .. 3 = 19200); nothing for any other index.
std::optional<std::int32_t> ControlSpeedForIndex(std::uint8_t speedIndex);

// The speed the next opening uses after a speed choice: unknown indexes leave it unchanged.
std::int32_t ApplySpeedIndex(std::uint8_t speedIndex, std::int32_t currentBaudRate);

// Speed index of a control speed in bit/s, or nothing when the head cannot use it.
std::optional<std::uint8_t> SpeedIndexForBaudRate(std::int32_t baudRate);
