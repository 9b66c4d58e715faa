// One line of CSV, as the fleet plan and the fleet report use it: fields separated by commas, a
// field in double quotes may hold commas, and "" inside quotes is one quote.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct CsvField {
    std::string text;        // without its quotes; unquoted fields are trimmed of spaces and tabs
    std::size_t column = 0;  // 1-based character column where the field starts, for messages
};

// The fields of `line` (no line end). Nothing, with `error` set, when a quote is not closed or
// text follows a closing quote.
std::optional<std::vector<CsvField>> SplitCsvLine(const std::string& line, std::string& error);

// The field as CSV: quoted when it holds a comma, a quote, a CR or LF, or leading or trailing
// spaces.
std::string CsvQuote(const std::string& text);

// A text field that a spreadsheet shows as text and never runs: one that starts as a formula
// would (=, +, -, @, tab or CR) or with the ' that marks text gets a leading ', then the CSV
// quoting above. ReadTextCell takes the ' away again, so that every text reads back unchanged.
std::string CsvTextCell(const std::string& text);
std::string ReadTextCell(const std::string& field);
