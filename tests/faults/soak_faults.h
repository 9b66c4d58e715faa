// The faults the soak draws from: ptz-headsim options, and how each front end may end under
// them without a fault of its own.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace soak {

// How an upgrade ended, as the soak classifies both front ends.
enum class End {
    Success,       // exit 0 / "更新成功!"
    HeadFailed,    // exit 5 / "更新失败!"
    HeadTimedOut,  // exit 6 / "更新超时!"
    NoAnswer,      // exit 7 / the window's transfer stalled and the operator closed the port
    PortGone,      // exit 3 / "串口写入失败, ..."
    NoConnection,  // exit 4 / no 0x80: the operator closed the port
    Other,         // anything else: counted as unexpected
    Hang,          // a bound passed: the program had to be killed or did not answer the operator
};

const char* EndName(End end);

struct Fault {
    std::string name;
    std::vector<std::string> headsimArgs;  // besides --link and --out
    std::vector<End> cli;                  // acceptable ends of ptz-upgrade
    std::vector<End> window;               // acceptable ends of the window program
    bool recoverable = false;              // the image must arrive whole
};

struct Draw {
    Fault fault;
    std::vector<std::uint8_t> image;
};

// A fault and an image of one to three blocks, at random.
Draw DrawFault(std::mt19937& random);

}  // namespace soak
