#include "csv_line.h"

namespace {

constexpr char kTextMark = '\'';
// What a spreadsheet takes for the start of a formula, and the mark itself, so that a text
// that starts with it reads back whole.
constexpr const char* kMarkedStarts = "=+-@\t\r'";

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<std::vector<CsvField>> SplitCsvLine(const std::string& line, std::string& error) {
    std::vector<CsvField> fields;
    std::size_t at = 0;
    for (;;) {
        CsvField field;
        field.column = at + 1;
        const std::size_t start = line.find_first_not_of(" \t", at);
        if (start != std::string::npos && line[start] == '"') {
            field.column = start + 1;
            std::size_t i = start + 1;
            for (;; ++i) {
                if (i >= line.size()) {
                    error = "the quote at column " + std::to_string(start + 1) + " is not closed";
                    return std::nullopt;
                }
                if (line[i] != '"') {
                    field.text += line[i];
                } else if (i + 1 < line.size() && line[i + 1] == '"') {
                    field.text += '"';
                    ++i;
                } else {
                    break;
                }
            }
            at = line.find_first_not_of(" \t", i + 1);
            if (at != std::string::npos && line[at] != ',') {
                error = "text after the closing quote at column " + std::to_string(i + 1);
                return std::nullopt;
            }
        } else {
            at = line.find(',', at);
            field.text = Trim(line.substr(field.column - 1, at == std::string::npos
                                                                ? std::string::npos
                                                                : at - (field.column - 1)));
        }
        fields.push_back(field);
        if (at == std::string::npos) {
            return fields;
        }
        ++at;  // past the comma
    }
}

std::string CsvQuote(const std::string& text) {
    auto space = [](char c) { return c == ' ' || c == '\t'; };
    // A line end inside a field would end the line when it is read again.
    const bool plain = text.find_first_of(",\"\r\n") == std::string::npos &&
                       (text.empty() || (!space(text.front()) && !space(text.back())));
    if (plain) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

std::string CsvTextCell(const std::string& text) {
    const bool marked =
        !text.empty() && std::string(kMarkedStarts).find(text.front()) != std::string::npos;
    return CsvQuote(marked ? kTextMark + text : text);
}

std::string ReadTextCell(const std::string& field) {
    return !field.empty() && field.front() == kTextMark ? field.substr(1) : field;
}
