#include "pelco_command.h"

#include <algorithm>
#include <cctype>

#include "hex_text.h"

namespace {
constexpr std::uint8_t kPelcoDSync = 0xFF;
constexpr std::uint8_t kPelcoPStart = 0xA0;
constexpr std::uint8_t kPelcoPEnd = 0xAF;
}  // namespace

std::vector<std::uint8_t> BuildUpgradeModeCommand(std::uint8_t address,
                                                  std::uint8_t protocolIndex) {
    const auto& data = kUpgradeCommandData;
    if (protocolIndex == PELCO_D) {
        // The sync byte is not summed.
        const auto sum = static_cast<std::uint8_t>(address + data[0] + data[1] + data[2] + data[3]);
        return {kPelcoDSync, address, data[0], data[1], data[2], data[3], sum};
    }
    // Pelco-P numbers heads from 0 on the line.
    const auto lineAddress = static_cast<std::uint8_t>(address - 1);
    const auto sum = static_cast<std::uint8_t>(kPelcoPStart ^ lineAddress ^ data[0] ^ data[1] ^
                                               data[2] ^ data[3] ^ kPelcoPEnd);
    return {kPelcoPStart, lineAddress, data[0], data[1], data[2], data[3], kPelcoPEnd, sum};
}

std::string FormatCommandText(const std::vector<std::uint8_t>& command) {
    std::string text;
    for (std::size_t i = 0; i < command.size(); ++i) {
        text += i == 0 ? FormatLeadingByteText(command[i]) : FormatTrailingByteText(command[i]);
    }
    return text;
}

std::optional<std::uint8_t> ProtocolIndexForName(std::string_view name) {
    for (std::size_t index = 0; index < kProtocolNames.size(); ++index) {
        const std::string_view known = kProtocolNames[index];
        const bool same = std::equal(
            name.begin(), name.end(), known.begin(), known.end(),
            [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
        if (same) {
            return static_cast<std::uint8_t>(index);
        }
    }
    return std::nullopt;
}

std::string ControlSpeedsText() {
    std::string text;
    for (std::size_t i = 0; i < kControlSpeeds.size(); ++i) {
        if (i > 0) {
            text += i + 1 == kControlSpeeds.size() ? " or " : ", ";
        }
        text += std::to_string(kControlSpeeds[i]);
    }
    return text;
}

std::optional<std::int32_t> ControlSpeedForIndex(std::uint8_t speedIndex) {
    if (speedIndex >= kControlSpeeds.size()) {
        return std::nullopt;
    }
    return kControlSpeeds[speedIndex];
}

std::int32_t ApplySpeedIndex(std::uint8_t speedIndex, std::int32_t currentBaudRate) {
    return ControlSpeedForIndex(speedIndex).value_or(currentBaudRate);
}

std::optional<std::uint8_t> SpeedIndexForBaudRate(std::int32_t baudRate) {
    for (std::size_t i = 0; i < kControlSpeeds.size(); ++i) {
        if (kControlSpeeds[i] == baudRate) {
            return static_cast<std::uint8_t>(i);
        }
    }
    return std::nullopt;
}
