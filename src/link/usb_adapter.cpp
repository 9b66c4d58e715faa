#include "usb_adapter.h"

namespace {

// The chips of the adapters technicians meet, by vendor and product; an empty product takes
// every product of the vendor (FTDI gives each chip its own).
struct ChipIds {
    std::string_view vendor;
    std::string_view product;
    std::string_view family;
};
constexpr ChipIds kChips[] = {
    {"0403", "", "FTDI"},       {"1a86", "7523", "CH340"},  {"1a86", "7522", "CH340"},
    {"1a86", "5523", "CH340"},  {"10c4", "ea60", "CP210x"}, {"10c4", "ea70", "CP210x"},
    {"10c4", "ea71", "CP210x"}, {"067b", "2303", "PL2303"}, {"067b", "23a3", "PL2303"},
    {"067b", "23c3", "PL2303"}, {"067b", "23d3", "PL2303"},
};

}  // namespace

std::string UsbChipFamily(std::string_view vidPid) {
    const std::size_t colon = vidPid.find(':');
    if (colon == std::string_view::npos) {
        return {};
    }
    const std::string_view vendor = vidPid.substr(0, colon);
    const std::string_view product = vidPid.substr(colon + 1);
    for (const ChipIds& chip : kChips) {
        if (chip.vendor == vendor && (chip.product.empty() || chip.product == product)) {
            return std::string(chip.family);
        }
    }
    return {};
}

std::string DescribeAdapter(const SerialPortInfo& port) {
    std::string text = UsbChipFamily(port.vidPid);
    if (!port.vidPid.empty()) {
        text += (text.empty() ? "USB " : " ") + port.vidPid;
    }
    if (!port.driver.empty()) {
        text += (text.empty() ? "driver " : ", driver ") + port.driver;
    }
    if (port.latencyTimerMs >= 0) {
        text += (text.empty() ? "" : ", ") + std::string("latency timer ") +
                std::to_string(port.latencyTimerMs) + " ms";
    }
    return text;
}

std::string LatencyAdvice(const SerialPortInfo& port) {
    if (port.latencyTimerMs <= kLatencyTimerAdviceAboveMs || port.lowerLatency.empty()) {
        return {};
    }
    return "the adapter's latency timer holds each answer up to " +
           std::to_string(port.latencyTimerMs) + " ms; lower it to " +
           std::to_string(kLatencyTimerLowMs) + " ms: " + port.lowerLatency;
}
