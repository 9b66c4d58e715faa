#include "port_opening.h"

namespace {
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint8_t kNoParity = 0;
constexpr std::uint8_t kOneStopBit = 0;
}  // namespace

PortOpeningResult OpenPortForUpgrade(CSerialLink& link, const std::string& portName,
                                     std::uint32_t baudRate) {
    PortOpeningResult result;
    link.SetParams(portName, baudRate, kDataBits, kNoParity, kOneStopBit);
    const PortHandle handle = link.Open();
    if (handle == kInvalidPortHandle) {
        result.failedStep = PortOpeningStep::Open;
        result.error = link.LastError();
        return result;
    }
    if (!link.SetTimeouts(kPortReadIntervalMs, handle)) {
        result.failedStep = PortOpeningStep::SetTimeouts;
    } else if (!link.Configure(handle)) {
        result.failedStep = PortOpeningStep::Configure;
    } else if (!link.CreateEvents()) {
        result.failedStep = PortOpeningStep::CreateEvents;
    }
    if (result.failedStep != PortOpeningStep::None) {
        // Taken before Close, which may record errors of its own.
        result.error = link.LastError();
        link.Close(handle);
        return result;
    }
    result.handle = handle;
    return result;
}
