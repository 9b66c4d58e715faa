// Which port and head an event belongs to: several ports run at once, each on its own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct RunContext {
    std::string port;  // as the operator named it ("sim" for the simulated head)
    std::size_t portIndex = 0;
    std::uint8_t address = 1;  // the head being upgraded; changes between heads on one bus
    std::string protocolName = "pelco-d";  // of that head
    int row = 0;                           // its line in the plan; 0 without a plan
    std::string label;                     // its name in the plan
};
