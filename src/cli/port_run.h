// Everything that happens on one port: the heads of its bus, one after another, with the events
// going to the trace, the JSON stream and the progress display.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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

struct PortOutcome {
    UpgradeStatus status = UpgradeStatus::Done;
    std::string message;  // for people, naming the head; empty on success
    int headsUpgraded = 0;
    std::uint8_t address = 0;  // the head it ended with
    std::int64_t frameReached = -1;
    std::int64_t framesTotal = 0;
    double seconds = 0;
};

// Upgrades every address of `options` on the port at `portPath`; the first failure stops.
PortOutcome RunPort(const std::string& portPath, RunContext& context, const CliOptions& options,
                    const EventSinks& sinks, const std::atomic<bool>& stop);
