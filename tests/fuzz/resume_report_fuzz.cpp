// The --resume reader on arbitrary text: nothing escapes it; the lines it keeps for upgraded
// heads, written into a report again, read back as the same heads; and a later failed line for
// each of them leaves none upgraded (the last word decides).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "csv_line.h"
#include "fuzz_check.h"
#include "plan_report.h"

namespace {

std::string Fold(std::string port) {
    std::transform(port.begin(), port.end(), port.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return port;
}

// The line with its outcome cell replaced.
std::string Failed(const std::string& line, std::size_t outcome) {
    std::string error;
    const auto fields = SplitCsvLine(line, error);
    FuzzRequire(fields.has_value(), "a kept line splits");
    std::string failed;
    for (std::size_t i = 0; i < fields->size(); ++i) {
        failed += (i == 0 ? "" : ",") +
                  CsvTextCell(i == outcome ? "failed: stopped" : ReadTextCell((*fields)[i].text));
    }
    return failed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto record = ParseResumeReport(text, "r.csv", Fold, error);
    if (!record) {
        FuzzRequire(error.rfind("--resume: r.csv line ", 0) == 0, "a refusal names the line");
        return 0;
    }
    FuzzRequire(record->tornLastLine == (!text.empty() && text.back() != '\n'),
                "only a line without its end is torn");
    if (record->upgraded.empty()) {
        return 0;
    }
    const std::string header = text.substr(0, text.find('\n'));
    std::string again = header + "\n";
    for (const auto& [key, line] : record->upgraded) {
        again += line + "\n";
    }
    const auto reread = ParseResumeReport(again, "r.csv", Fold, error);
    FuzzRequire(reread && reread->upgraded == record->upgraded, "kept lines read back the same");

    const auto names = SplitCsvLine(header, error);
    FuzzRequire(names.has_value(), "an accepted header splits");
    const auto outcome = static_cast<std::size_t>(
        std::find_if(names->begin(), names->end(),
                     [](const CsvField& f) { return f.text == "outcome"; }) -
        names->begin());
    for (const auto& [key, line] : record->upgraded) {
        again += Failed(line, outcome) + "\n";
    }
    const auto last = ParseResumeReport(again, "r.csv", Fold, error);
    FuzzRequire(last && last->upgraded.empty(), "a later failure cancels every success");
    return 0;
}
