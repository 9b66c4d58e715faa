// The port list on Linux, read under roots that a test can point at a tree of its own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "port_list.h"

struct SystemRoots {
    std::filesystem::path sys = "/sys";
    std::filesystem::path dev = "/dev";
    std::filesystem::path proc = "/proc";
};

std::vector<SerialPortInfo> ListSerialPortsUnder(const SystemRoots& roots);
std::vector<std::string> RunningPortClaimersUnder(const SystemRoots& roots);
