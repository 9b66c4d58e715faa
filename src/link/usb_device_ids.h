// USB vendor, product and serial number read from the device identifiers Windows keeps for a
// port ("USB\VID_0403&PID_6001\A6008ISP"). Plain text work, so it is tested on every platform.
#pragma once

#include <string>
#include <string_view>

// "0403:6001" (lower case) from an id holding VID_xxxx and PID_xxxx; empty when it has none.
std::string UsbVidPidFromDeviceId(std::string_view deviceId);

// The serial number that ends a USB instance id; empty when the last part was made up by
// Windows (it then holds '&'), or the id is not a USB one.
std::string UsbSerialFromInstanceId(std::string_view instanceId);
