// The bytes the head and the loader exchange at the transfer speed, outside the frames.
#pragma once

#include <cstdint>
#include <string>

// Line settings of the transfer phase.
constexpr std::int32_t kTransferBaudRate = 115200;

// Connection check: the loader sends these two bytes, a head in upgrade mode answers kConnected.
constexpr std::uint8_t kConnectionCheckByte = 0x3F;

enum class HeadAnswer : std::uint8_t {
    Connected = 0x80,
    ChecksumErrorA = 0x81,
    FrameAccepted = 0x82,
    ChecksumErrorB = 0x83,
    UpgradeComplete = 0x84,
    UpgradeFailed = 0x86,
    UpgradeTimedOut = 0x87,
};

// What the loader does with an answer byte; any byte not in the table is ignored.
enum class AnswerAction { Connected, NextFrame, ResendFrame, Done, Failed, HeadTimedOut, Ignore };

AnswerAction ClassifyAnswer(std::uint8_t answer);

// What the frame being answered is: a 0x84 means the image arrived whole only after the frame
// that carries the last-block mark (or the fill frame after it).
enum class FrameRole {
    Block,      // a frame before the last
    LastBlock,  // the frame with the last-block mark
    Fill,       // the all-0xFF frame a head asks for by accepting the last block with 0x82
};

// What the session does next, having heard one byte after sending a frame.
enum class FrameStep {
    KeepWaiting,            // not an answer to a frame: noise, or 0x80
    NextFrame,              // 0x82 to a frame before the last
    SendFill,               // 0x82 to the last frame
    Resend,                 // checksum error with resends left
    TooManyChecksumErrors,  // checksum error with no resend left
    Complete,               // 0x84 to the last frame or to the fill frame
    CompleteTooEarly,       // 0x84 while image frames remain: never a success
    EndNotConfirmed,        // 0x82 to the fill frame: nothing is left to send
    HeadFailed,             // 0x86
    HeadTimedOut,           // 0x87
};

// `attempt`: 0 for the first sending of the frame, 1.. for resends; `retries`: resends allowed.
FrameStep DecideFrameStep(std::uint8_t answer, FrameRole role, int attempt, int retries);

// Short English meaning of an answer byte for traces and logs ("frame accepted", ...).
std::string DescribeAnswer(std::uint8_t answer);
