#include "rfc2217_settings.h"

#include "telnet_codec.h"

namespace {

std::vector<std::uint8_t> BigEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24U), static_cast<std::uint8_t>(value >> 16U),
            static_cast<std::uint8_t>(value >> 8U), static_cast<std::uint8_t>(value)};
}

std::uint8_t ParityCode(std::uint8_t parity) {
    static constexpr std::uint8_t kCodes[] = {rfc2217::kParityNone, rfc2217::kParityOdd,
                                              rfc2217::kParityEven, rfc2217::kParityMark,
                                              rfc2217::kParitySpace};
    return parity < sizeof kCodes ? kCodes[parity] : 0;
}

std::uint8_t StopCode(std::uint8_t stopBits) {
    static constexpr std::uint8_t kCodes[] = {rfc2217::kStopOne, rfc2217::kStopOneAndHalf,
                                              rfc2217::kStopTwo};
    return stopBits < sizeof kCodes ? kCodes[stopBits] : 0;
}

std::string DescribeValue(const Rfc2217Setting& setting, const std::vector<std::uint8_t>& value) {
    if (setting.code == rfc2217::kSetBaudRate && value.size() == 4) {
        const std::uint32_t bits = static_cast<std::uint32_t>(value[0]) << 24U |
                                   static_cast<std::uint32_t>(value[1]) << 16U |
                                   static_cast<std::uint32_t>(value[2]) << 8U | value[3];
        return std::to_string(bits) + " bit/s";
    }
    std::string text = "code";
    for (const std::uint8_t byte : value) {
        text += " " + std::to_string(byte);
    }
    return value.empty() ? "nothing" : text;
}

}  // namespace

std::vector<Rfc2217Setting> Rfc2217SettingsFor(const PortLineSettings& line, std::string& problem) {
    const std::uint8_t parity = ParityCode(line.parity);
    const std::uint8_t stop = StopCode(line.stopBits);
    if (parity == 0 || stop == 0) {
        problem = "parity code " + std::to_string(line.parity) + " with stop-bits code " +
                  std::to_string(line.stopBits) + " is not possible";
        return {};
    }
    return {
        {rfc2217::kSetBaudRate, BigEndian32(line.baudRate), "the line speed"},
        {rfc2217::kSetDataSize, {line.byteSize}, "the data size"},
        {rfc2217::kSetParity, {parity}, "the parity"},
        {rfc2217::kSetStopSize, {stop}, "the stop bits"},
        {rfc2217::kSetControl, {rfc2217::kControlXonXoff}, "XON/XOFF flow control"},
        {rfc2217::kPurgeData, {rfc2217::kPurgeBoth}, "the purge of its buffers"},
    };
}

std::string UnconfirmedSetting(const std::vector<Rfc2217Setting>& wanted,
                               const CRfc2217Client& client, int limitSeconds) {
    for (const Rfc2217Setting& setting : wanted) {
        const auto ack = client.Acknowledged(setting.code);
        if (!ack) {
            return "the server did not confirm " + setting.name + " (" +
                   DescribeValue(setting, setting.value) + ") within " +
                   std::to_string(limitSeconds) + " s";
        }
        if (*ack != setting.value) {
            return "the server refused " + setting.name + " (" +
                   DescribeValue(setting, setting.value) + "): it answered " +
                   DescribeValue(setting, *ack);
        }
    }
    return {};
}
