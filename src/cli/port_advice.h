// What to tell a person whose port could not be used: what failed and what to do about it.
#pragma once

#include <string>
#include <vector>

#include "serial_link.h"

// What the system tells about a local port's surroundings when its advice is needed.
struct PortSurroundings {
    std::vector<std::string> claimers;  // programs that claim adapters, running now
    std::string vidPid;                 // the adapter's USB ids, when the system lists the port
};

// Reads the surroundings of a local port from the system.
std::string PortAdvice(const std::string& port, const PortError& error);
std::string PortAdvice(const std::string& port, const PortError& error,
                       const PortSurroundings& surroundings);
