// The one camera-control command that puts a head into its upgrade mode, in Pelco-D or
// Pelco-P framing, the protocols by name and the control speeds a head takes it at: the one list
// the command line, plans and the device dialog all use.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Protocol index of the device dialog's list.
constexpr std::uint8_t PELCO_P = 0;
constexpr std::uint8_t PELCO_D = 1;

// Names of the protocols on the command line and in plans, by protocol index.
constexpr std::array<const char*, 2> kProtocolNames = {"pelco-p", "pelco-d"};

// Control speeds in bit/s, in the order of the device dialog's list (its speed index).
constexpr std::array<std::int32_t, 4> kControlSpeeds = {2400, 4800, 9600, 19200};

// The protocol index of a protocol name in any case ("pelco-d", "Pelco-P"); nothing for any
// other text.
std::optional<std::uint8_t> ProtocolIndexForName(std::string_view name);

// The speeds for a message: "2400, 4800, 9600 or 19200".
std::string ControlSpeedsText();

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
