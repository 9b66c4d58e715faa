// A port as Windows' device manager describes it, from what the registry keeps for the device.
// The registry is read through an interface, so that the description is plain code, tested on
// every platform with the values of real adapters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "port_list.h"

class IDeviceRegistry {
  public:
    virtual ~IDeviceRegistry() = default;
    virtual std::string HardwareId() const = 0;    // its first id: "USB\VID_1A86&PID_7523&REV_0264"
    virtual std::string InstanceId() const = 0;    // "USB\VID_0403&PID_6001\A6008ISP"
    virtual std::string FriendlyName() const = 0;  // "USB-SERIAL CH340 (COM4)"
    virtual std::string Service() const = 0;       // the driver's service: "FTSER2K", "usbser"
    // Values of the device's "Device Parameters" key ("PortName", "LatencyTimer").
    virtual std::string ParameterText(const char* name) const = 0;
    virtual std::optional<std::uint32_t> ParameterNumber(const char* name) const = 0;
};

// The port; an empty name when the device is no COM port (printer ports share the class).
SerialPortInfo DescribeRegisteredPort(const IDeviceRegistry& device);
