// Win32-only helpers of the serial port object, exposed so that they can be checked on their own.
#pragma once

#include <string>
#include <string_view>

// The path CreateFileW must be given for a port name: a bare device name (COM1, COM12, CNCA0)
// gets the device-namespace prefix \\.\, without which COM10 and above never open; a name that
// already has a prefix or is a path is used as it stands.
std::string SerialDevicePath(std::string_view portName);
