#include "port_registry.h"

#include "usb_adapter.h"
#include "usb_device_ids.h"

SerialPortInfo DescribeRegisteredPort(const IDeviceRegistry& device) {
    SerialPortInfo info;
    const std::string portName = device.ParameterText("PortName");
    if (portName.rfind("COM", 0) != 0) {
        return info;
    }
    info.name = portName;
    info.description = device.FriendlyName();
    info.vidPid = UsbVidPidFromDeviceId(device.HardwareId());
    info.serialNumber = UsbSerialFromInstanceId(device.InstanceId());
    info.driver = device.Service();
    // FTDI's driver keeps its timer per device; the value is its period in ms, 1..255.
    constexpr std::uint32_t kMaxLatencyTimerMs = 255;
    const auto latency = device.ParameterNumber("LatencyTimer");
    if (latency && *latency <= kMaxLatencyTimerMs) {
        info.latencyTimerMs = static_cast<int>(*latency);
        info.lowerLatency = "Device Manager > Ports (COM & LPT) > " + portName +
                            " > Properties > Port Settings > Advanced > Latency Timer (msec): " +
                            std::to_string(kLatencyTimerLowMs);
    }
    return info;
}
