// Opening a port for an upgrade: the one sequence of link calls both front ends use, and which
// step of it failed, so that each front end can word the failure in its own language.
#pragma once

#include <cstdint>
#include <string>

#include "serial_link.h"

// The step of the opening sequence that failed, in the order the steps run.
enum class PortOpeningStep {
    None,  // every step succeeded
    Open,
    SetTimeouts,
    Configure,
    CreateEvents,
};

struct PortOpeningResult {
    PortOpeningStep failedStep = PortOpeningStep::None;
    // CSerialLink::LastError() right after the failed step: the system's reason, in English.
    PortError error;
    // The opened port when failedStep is None, kInvalidPortHandle otherwise.
    PortHandle handle = kInvalidPortHandle;

    bool Succeeded() const { return failedStep == PortOpeningStep::None; }
};

// The port's own read interval (ten minutes). It never limits a wait of ours (WaitForInput with
// its time limit does), and the window program has always set it so.
constexpr std::uint32_t kPortReadIntervalMs = 600000;

// SetParams(portName, baudRate, 8 data bits, no parity, one stop bit), then Open, SetTimeouts,
// Configure and CreateEvents, stopping at the first step that fails.
// A port that opened but failed a later step is closed again before this returns: the opening
// is exclusive, and a handle nobody keeps would lock the port until the program ends. The
// window program keeps its previous port state when CreateEvents fails, but it never records
// the new handle either, so closing it is right there as well.
PortOpeningResult OpenPortForUpgrade(CSerialLink& link, const std::string& portName,
                                     std::uint32_t baudRate);
