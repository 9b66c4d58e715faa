// The serial ports of this machine, and what the system can tell about one that is in use.
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string name;          // what --port takes: /dev/ttyUSB0, COM3
    std::string stablePath;    // a name that survives replugging (/dev/serial/by-id/...), or empty
    std::string vidPid;        // USB vendor and product, "0403:6001", or empty
    std::string serialNumber;  // USB serial number, or empty
    std::string description;   // maker and product, or the driver, or empty
};

std::vector<SerialPortInfo> ListSerialPorts();

// Who holds the port open, e.g. "minicom (pid 1234)", as far as the system tells; empty if
// unknown.
std::string DescribePortHolders(const std::string& port);
