// The serial ports of this machine, and what the system can tell about one that is in use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct SerialPortInfo {
    std::string name;          // what --port takes: /dev/ttyUSB0, COM3
    std::string stablePath;    // a name that survives replugging (/dev/serial/by-id/...), or empty
    std::string vidPid;        // USB vendor and product, "0403:6001", or empty
    std::string serialNumber;  // USB serial number, or empty
    std::string description;   // maker and product, or the driver, or empty
    std::string driver;        // the driver serving the port (ftdi_sio, FTSER2K), or empty
    int latencyTimerMs = -1;   // how long the adapter may hold received bytes; -1 unknown
    std::string lowerLatency;  // the command or driver setting that lowers the timer, or empty
};

std::vector<SerialPortInfo> ListSerialPorts();

// What the system lists about the port `port` names (any spelling that opens it); only `name`
// set to `port` when the system does not list it (a pseudo-terminal, a network port).
SerialPortInfo DescribeSerialPort(const std::string& port);

// Who holds the port open, e.g. "minicom (pid 1234)", as far as the system tells; empty if
// unknown.
std::string DescribePortHolders(const std::string& port);

// Programs of Linux desktops that claim USB serial adapters, by process name: brltty takes
// CH340 and CP210x adapters as they are plugged in, ModemManager probes new ports with AT
// commands for several seconds.
inline constexpr std::string_view kBrlttyProgram = "brltty";
inline constexpr std::string_view kModemManagerProgram = "ModemManager";

// Running programs known to claim USB serial adapters for themselves ("brltty",
// "ModemManager"), each once; empty where the system has none.
std::vector<std::string> RunningPortClaimers();
