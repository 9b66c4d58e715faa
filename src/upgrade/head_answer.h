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

// Short English meaning of an answer byte for traces and logs ("frame accepted", ...).
std::string DescribeAnswer(std::uint8_t answer);
