// Everything that happens on one port: the heads of its bus, one after another, with the events
// going to the trace, the JSON stream and the progress display.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "json_events.h"
#include "progress_display.h"
#include "run_context.h"
#include "trace_log.h"

struct EventSinks {
    CTraceFile* trace = nullptr;
    CJsonStream* json = nullptr;
    CProgressDisplay* progress = nullptr;
};

enum class HeadState { Upgraded, Failed, NotTried };

struct HeadOutcome {
    std::uint8_t address = 0;
    HeadState state = HeadState::NotTried;
    UpgradeStatus status = UpgradeStatus::Done;
    std::string message;      // for people, naming the head; empty unless it failed
    bool connected = false;   // it answered the connection check (and so was in upgrade mode)
    std::string notTriedWhy;  // what kept a plan's head from its turn, when a rollout halted
    std::int64_t framesAccepted = 0;
    int resends = 0;
    std::chrono::system_clock::time_point started{};  // set once tried
    std::chrono::system_clock::time_point ended{};
};

// One head of a bus with all it needs: its session settings and its image.
struct BusHead {
    UpgradeSessionOptions session;
    const std::vector<std::uint8_t>* image = nullptr;
    std::string protocolName;
    int row = 0;  // in the plan; 0 without one
    std::string label;
};

// Told on the bus's thread as each head ends, and for each head left untried when the bus
// stops, in the order of the heads. False starts no further head: those are told as untried.
using HeadEndedFn = std::function<bool(std::size_t index, const HeadOutcome& head)>;

struct PortOutcome {
    UpgradeStatus status = UpgradeStatus::Done;  // of the first head that failed
    std::string message;                         // of the first head that failed
    std::vector<HeadOutcome> heads;              // every address, in the order given
    int headsUpgraded = 0;
    std::uint8_t address = 0;  // the head it ended with
    std::int64_t frameReached = -1;
    std::int64_t framesTotal = 0;
    double seconds = 0;
};

// What a failed head means for the rest of the batch. A head that never answered the connection
// check is not in upgrade mode, so the next address is tried; one that failed after it had
// connected may still listen in upgrade mode and would take the next head's frames too.
bool BatchGoesOnAfter(UpgradeStatus status);

// Upgrades the heads one after another on the port at `portPath`, by the batch rule above,
// holding the port from the first head to the last (port_identity.h).
PortOutcome RunBus(const std::string& portPath, RunContext& context,
                   const std::vector<BusHead>& heads, const EventSinks& sinks,
                   const std::atomic<bool>& stop, const HeadEndedFn& onHeadEnded = {});

// Upgrades every address of `options` on the port at `portPath` with the image.
PortOutcome RunPort(const std::string& portPath, RunContext& context, const CliOptions& options,
                    const std::vector<std::uint8_t>& image, const EventSinks& sinks,
                    const std::atomic<bool>& stop);

// "head 1 upgraded, head 2 failed (no connection), head 3 not tried".
std::string DescribeHeads(const std::vector<HeadOutcome>& heads);
