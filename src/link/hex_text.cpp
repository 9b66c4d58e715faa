// Hex text encoding and decoding, independent of the platform.
#include "hex_text.h"

#include <array>

#include "serial_link.h"

namespace {

constexpr std::array<char, 16> kLowerHexDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                  '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

void AppendHexPair(std::string& text, std::uint8_t byte) {
    text.push_back(kLowerHexDigits[byte >> 4U]);
    text.push_back(kLowerHexDigits[byte & 0x0FU]);
}

bool IsPairSeparator(char ch) {
    return ch == ' ' || ch == '\r' || ch == '\n';
}

}  // namespace

std::string FormatFrameByteText(std::uint8_t byte) {
    std::string text;
    AppendHexPair(text, byte);
    text.push_back(' ');
    return text;
}

std::string FormatFrameChunkText(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve(count * kFrameByteTextChars);
    for (std::size_t i = 0; i < count; ++i) {
        AppendHexPair(text, bytes[i]);
        text.push_back(' ');
    }
    return text;
}

std::string FormatBytePairText(std::uint8_t first, std::uint8_t second) {
    std::string text;
    AppendHexPair(text, first);
    text.push_back(' ');
    AppendHexPair(text, second);
    return text;
}

std::string FormatLeadingByteText(std::uint8_t byte) {
    return FormatFrameByteText(byte);
}

std::string FormatTrailingByteText(std::uint8_t byte) {
    std::string text(1, ' ');
    AppendHexPair(text, byte);
    return text;
}

std::uint8_t CSerialLink::HexDigitValue(char ch) {
    if (ch >= '0' && ch <= '9') {
        return static_cast<std::uint8_t>(ch - '0');
    }
    if (ch >= 'A' && ch <= 'F') {
        return static_cast<std::uint8_t>(ch - 'A' + 10);
    }
    if (ch >= 'a' && ch <= 'f') {
        return static_cast<std::uint8_t>(ch - 'a' + 10);
    }
    return 0xFF;
}

// The two digits of a byte must be adjacent; blanks, CR and LF are skipped only between pairs.
// Decoding stops at the first bad pair (keeping what came before) and drops a lone final digit.
std::size_t CSerialLink::DecodeHexText(std::string_view text, std::uint8_t* out,
                                       std::size_t outCapacity) {
    std::size_t stored = 0;
    std::size_t j = 0;
    while (j < text.size() && stored < outCapacity) {
        if (IsPairSeparator(text[j])) {
            ++j;
            continue;
        }
        if (j + 1 >= text.size()) {
            break;
        }
        const std::uint8_t hi = HexDigitValue(text[j]);
        const std::uint8_t lo = HexDigitValue(text[j + 1]);
        if (hi == 0xFF || lo == 0xFF) {
            break;
        }
        out[stored++] = static_cast<std::uint8_t>(hi * 16 + lo);
        j += 2;
    }
    return stored;
}
