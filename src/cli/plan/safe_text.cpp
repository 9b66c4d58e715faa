#include "safe_text.h"

#include <array>
#include <cstdio>

namespace {

constexpr unsigned kFirstPrintable = 0x20;
constexpr unsigned kDelete = 0x7F;
constexpr unsigned char kC1Lead = 0xC2;  // U+0080..U+009F are C2 80..C2 9F in UTF-8
constexpr unsigned kC1First = 0x80;
constexpr unsigned kC1Last = 0x9F;

// The length in bytes of a control character at `i` (0 when there is none).
std::size_t ControlLength(const std::string& text, std::size_t i, unsigned& code) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < kFirstPrintable || byte == kDelete) {
        code = byte;
        return 1;
    }
    if (byte == kC1Lead && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= kC1First && next <= kC1Last) {
            code = next;
            return 2;
        }
    }
    return 0;
}

std::string Hex(unsigned code) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%02X", code);
    return text.data();
}

}  // namespace

std::optional<ControlCharacter> FindControlCharacter(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned code = 0;
        if (ControlLength(text, i, code) > 0) {
            return ControlCharacter{i, code};
        }
    }
    return std::nullopt;
}

std::string ControlCharacterName(const ControlCharacter& control) {
    return "0x" + Hex(control.code);
}

std::string PrintableText(const std::string& text) {
    std::string printable;
    for (std::size_t i = 0; i < text.size();) {
        unsigned code = 0;
        const std::size_t length = ControlLength(text, i, code);
        if (length == 0) {
            printable += text[i++];
            continue;
        }
        printable += "\\x" + Hex(code);
        i += length;
    }
    return printable;
}
