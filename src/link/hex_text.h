// Hex text: every transmission is first written as two-digit lower-case hex pairs and decoded
// back to bytes just before the write (CSerialLink::DecodeHexText). These build the texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// "%02x " : one frame byte, as the transfer sends it.
std::string FormatFrameByteText(std::uint8_t byte);
// "%02x " for each of `count` bytes: a piece of a frame as one hex text.
std::string FormatFrameChunkText(const std::uint8_t* bytes, std::size_t count);
// "%02x %02x" : the two bytes of the connection check.
std::string FormatBytePairText(std::uint8_t first, std::uint8_t second);
// "%02x " : the first byte of a command.
std::string FormatLeadingByteText(std::uint8_t byte);
// " %02x" : each following byte of a command.
std::string FormatTrailingByteText(std::uint8_t byte);
