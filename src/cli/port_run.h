// Everything that happens on one port: the heads of its bus, one after another, with the events
// going to the trace, the JSON stream and the progress display.
#pragma once

#include <atomic>
#include <cstdint>
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
    std::string message;  // for people, naming the head; empty unless it failed
};

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

// Upgrades every address of `options` on the port at `portPath` with the image.
PortOutcome RunPort(const std::string& portPath, RunContext& context, const CliOptions& options,
                    const std::vector<std::uint8_t>& image, const EventSinks& sinks,
                    const std::atomic<bool>& stop);

// "head 1 upgraded, head 2 failed (no connection), head 3 not tried".
std::string DescribeHeads(const std::vector<HeadOutcome>& heads);
