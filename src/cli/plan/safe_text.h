// Text from a plan or a report on its way to a terminal: control characters (C0, DEL and the
// C1 range as UTF-8) could move the cursor, recolour or retitle the terminal, or end a line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

struct ControlCharacter {
    std::size_t at = 0;  // byte offset in the text
    unsigned code = 0;   // the code point: 0x00-0x1F, 0x7F or 0x80-0x9F
};

// The first control character of `text`, if any.
std::optional<ControlCharacter> FindControlCharacter(const std::string& text);

// "0x1B".
std::string ControlCharacterName(const ControlCharacter& control);

// The text with each control character as \xHH, to show what it holds without obeying it.
std::string PrintableText(const std::string& text);
