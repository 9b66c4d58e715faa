// The CSV cells of plans and reports on arbitrary bytes: any text quoted reads back as one field
// with the same text; as a report's text cell it reads back the same and never starts as a
// spreadsheet formula; and any line split and quoted again splits into the same fields.
#include <cstdint>
#include <string>

#include "csv_line.h"
#include "fuzz_check.h"

namespace {

// What a spreadsheet takes for the start of a formula.
bool StartsAsFormula(const std::string& cell) {
    return !cell.empty() && std::string("=+-@\t\r").find(cell.front()) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;

    const auto quoted = SplitCsvLine(CsvQuote(text), error);
    FuzzRequire(quoted && quoted->size() == 1 && (*quoted)[0].text == text, "Split(Quote(x)) == x");

    const auto cell = SplitCsvLine(CsvTextCell(text), error);
    FuzzRequire(cell && cell->size() == 1, "a text cell is one field");
    FuzzRequire(ReadTextCell((*cell)[0].text) == text, "a text cell reads back unchanged");
    FuzzRequire(!StartsAsFormula((*cell)[0].text), "no text cell starts as a formula");
    FuzzRequire(CsvTextCell(text).find_first_of("\r\n") == std::string::npos ||
                    CsvTextCell(text).front() == '"',
                "a line end inside a cell is quoted");

    const auto fields = SplitCsvLine(text, error);
    if (fields) {
        std::string again;
        for (std::size_t i = 0; i < fields->size(); ++i) {
            again += (i == 0 ? "" : ",") + CsvQuote((*fields)[i].text);
        }
        const auto resplit = SplitCsvLine(again, error);
        FuzzRequire(resplit && resplit->size() == fields->size(), "a quoted line keeps its fields");
        for (std::size_t i = 0; i < fields->size(); ++i) {
            FuzzRequire((*resplit)[i].text == (*fields)[i].text, "each field reads back the same");
        }
    } else {
        FuzzRequire(!error.empty(), "a line that does not split says why");
    }
    return 0;
}
