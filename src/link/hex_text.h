// Hex text: every transmission is first written as two-digit lower-case hex pairs and decoded
// back to bytes just before the write (CSerialLink::DecodeHexText). These build the texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The text buffer a hex text goes through before it is decoded: 4095 characters and an end
// mark. A longer text is refused whole.
constexpr std::size_t kHexTextCapacity = 4096;
// Characters of one frame byte in hex text: two digits and a blank.
constexpr std::size_t kFrameByteTextChars = 3;

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
