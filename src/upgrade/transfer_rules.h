// The rules of a transfer, written once for both programs: what a head's answer to the frame on
// the line means (which frame follows which is the cursor's, in upgrade_frame.h). Pure functions
// over a small state, so that the window program and the command line only feed them what
// happened and act on the result.
//
// What the two programs do differently on purpose, each on top of the same steps:
// - Answers: the command line reads every byte the head sends; the window takes only the first
//   byte of each chunk the receive worker hands it, as the window program always has.
// - Messages: the window tells the operator in message boxes, and its resend after a checksum
//   error goes out only once the operator has closed that message (and only if the damaged
//   frame still waits for it); the command line words nothing here and resends at once.
// - Limits: the command line gives up after its --retries resends and after its answer time
//   limit; the window has no resend limit (kUnlimitedResends) and no answer time limit, leaving
//   both to the operator, who can always close the port.
// - The fill frame accepted with 0x82: the command line ends as "end not confirmed"; the window
//   sends the fill frame again, as often as the head asks for it.
// - With no transfer under way, the window still shows 0x82 (the progress bar), 0x81/0x83 (the
//   checksum message) and 0x86/0x87; the command line hears nothing then.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "head_answer.h"
#include "upgrade_frame.h"

// What the session does next, having heard one byte while a frame is on the line.
enum class FrameStep {
    KeepWaiting,            // not an answer to this frame: noise, 0x80, or an early 0x81/0x82/0x83
    NextFrame,              // 0x82 to a frame before the last
    SendFill,               // 0x82 to the last frame
    Resend,                 // checksum error with resends left
    TooManyChecksumErrors,  // checksum error with no resend left
    Complete,               // 0x84 to the last frame or to the fill frame
    CompleteTooEarly,       // 0x84 that cannot answer the last frame: never a success
    EndNotConfirmed,        // 0x82 to the fill frame: nothing is left to send
    HeadFailed,             // 0x86
    HeadTimedOut,           // 0x87
};

// Resends a front end allows without limit (the window program leaves it to the operator).
constexpr int kUnlimitedResends = INT32_MAX;

// What is known of the frame on the line when a byte arrives.
struct FrameOnLine {
    FrameRole role = FrameRole::Block;
    int attempt = 0;
    // The frame's last byte had been handed to the port before the byte arrived. A byte that
    // came earlier cannot be the head's answer to the whole frame.
    bool wholeFrameOut = true;
    // The head reported this frame damaged and it has not gone out again since.
    bool reportedDamaged = false;
};

// When a frame's bytes were handed to the port, as the front end that sent it saw them.
struct FrameHandOver {
    using Clock = std::chrono::steady_clock;
    Clock::time_point firstByteAt;                // the first write of the frame began
    std::optional<Clock::time_point> lastByteAt;  // the write with its last byte began; none yet
    std::size_t bytes = 0;                        // the frame's length on the line
    int baudRate = 0;                             // the port's speed while it went out, bit/s
};

// Whether a byte that arrived at `arrivedAt` can be the head's answer to the whole frame. A
// write may return as soon as its bytes are buffered (a pty, a tty's write buffer, Wine, many
// USB drivers), so the hand-over of the last byte alone proves nothing: the frame also needs
// its time on the wire from its first byte on. 5 % of it is given to adapters whose clock runs
// fast. A real head answers only after the last byte has crossed the wire, so this never
// rejects a real answer.
bool WholeFrameCouldBeOut(const FrameHandOver& handOver,
                          FrameHandOver::Clock::time_point arrivedAt);

// `retries`: resends allowed after checksum errors.
FrameStep DecideFrameStep(std::uint8_t answer, const FrameOnLine& frame, int retries);
