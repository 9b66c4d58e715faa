// `--port sim`: a simulated head started inside the loader on a pseudo-terminal, where the
// platform has them.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct SimHeadSettings {
    std::vector<int> addresses{1};  // heads on the simulated bus
    bool pelcoP = false;
    int speed = 2400;
    bool noCommand = false;
    bool echo = false;  // as a two-wire adapter that echoes what it sends
};

class CSimPort {
  public:
    virtual ~CSimPort() = default;
    // The port name the loader opens.
    virtual const std::string& Path() const = 0;
    // What the simulated head received, in a line or two for people.
    virtual std::string Report() const = 0;
};

// Starts a simulated head; nothing, with `error` set, where it cannot run (usage error).
std::unique_ptr<CSimPort> StartSimPort(const SimHeadSettings& settings, std::string& error);
