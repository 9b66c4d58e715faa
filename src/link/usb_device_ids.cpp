#include "usb_device_ids.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr std::size_t kIdDigits = 4;

std::string Upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    return out;
}

// The four hex digits after `key` ("VID_"), lower case; empty when they are not there.
std::string HexAfter(const std::string& upperId, std::string_view key) {
    const std::size_t at = upperId.find(key);
    if (at == std::string::npos || at + key.size() + kIdDigits > upperId.size()) {
        return {};
    }
    std::string digits = upperId.substr(at + key.size(), kIdDigits);
    if (!std::all_of(digits.begin(), digits.end(),
                     [](unsigned char ch) { return std::isxdigit(ch) != 0; })) {
        return {};
    }
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return digits;
}

}  // namespace

std::string UsbVidPidFromDeviceId(std::string_view deviceId) {
    const std::string id = Upper(deviceId);
    const std::string vid = HexAfter(id, "VID_");
    const std::string pid = HexAfter(id, "PID_");
    if (vid.empty() || pid.empty()) {
        return {};
    }
    return vid + ":" + pid;
}

std::string UsbSerialFromInstanceId(std::string_view instanceId) {
    if (Upper(instanceId.substr(0, 4)) != "USB\\") {
        return {};
    }
    const std::size_t lastSlash = instanceId.rfind('\\');
    const std::string_view last = instanceId.substr(lastSlash + 1);
    if (lastSlash <= 3 || last.empty() || last.find('&') != std::string_view::npos) {
        return {};
    }
    return std::string(last);
}
