#include "plan_report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>

#include "csv_line.h"
#include "safe_text.h"

namespace {

constexpr std::size_t kMaxReportBytes = std::size_t{64} * 1024 * 1024;

// The report file's whole text, or nothing with `error`.
std::optional<std::string> ReadReport(CPlanFile& file, const std::string& path,
                                      std::string& error) {
    std::string text;
    std::string reason;
    if (!file.ReadAll(kMaxReportBytes, text, reason)) {
        error = "Failed to read the report '" + path +
                "': " + (reason.empty() ? "it is larger than 64 MiB; start a new report" : reason);
        return std::nullopt;
    }
    return text;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

std::string IsoUtc(std::chrono::system_clock::time_point time) {
    // Civil date from days since 1970-01-01 (the proleptic Gregorian calendar), so that no
    // platform's gmtime variant is needed.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch());
    const std::int64_t total = seconds.count();
    const std::int64_t days = (total >= 0 ? total : total - 86399) / 86400;
    const std::int64_t ofDay = total - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(ofDay / 3600),
                  static_cast<long long>(ofDay / 60 % 60), static_cast<long long>(ofDay % 60));
    return text.data();
}

std::string ReportLine(const ReportEntry& e) {
    return std::to_string(e.row) + "," + CsvTextCell(e.label) + "," + CsvTextCell(e.port) + "," +
           std::to_string(e.address) + "," + CsvTextCell(e.image) + "," + e.sha256 + "," + e.start +
           "," + e.end + "," + CsvTextCell(e.outcome) + "," + std::to_string(e.frames) + "," +
           std::to_string(e.resends);
}

bool CPlanReport::Open(const std::string& path, std::string& error, std::string& note) {
    m_path = path;
    std::string reason;
    if (!m_file.Open(path, CPlanFile::Mode::Append, reason)) {
        error = "Failed to open the report '" + path + "' for writing: " + reason;
        return false;
    }
    const auto text = ReadReport(m_file, path, error);
    if (!text) {
        return false;
    }
    if (!text->empty() && FirstLine(*text) != kReportHeader) {
        // Appending to another file (the plan, say) would spoil it.
        error = "'" + path + "' is not a report of ptz-upgrade (its first line is not " +
                kReportHeader + "): name a new file or an earlier report";
        return false;
    }
    const auto lastEnd = text->find_last_of('\n');
    const std::size_t whole = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    if (whole != text->size()) {
        if (!m_file.Truncate(whole, reason)) {
            error =
                "Failed to cut the incomplete last line of the report '" + path + "': " + reason;
            return false;
        }
        note = "the last line of the report '" + path +
               "' was incomplete (a run cut off while writing it): it is cut away";
    }
    m_open = true;
    if (whole == 0 && !Append(kReportHeader)) {
        error = Error();
        return false;
    }
    return true;
}

bool CPlanReport::Append(const std::string& line) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_error.empty()) {
        return false;
    }
    const std::string whole = line + "\n";
    std::size_t written = 0;
    std::string reason;
    if (!m_file.Append(whole, written, reason)) {
        m_error = "Failed to write the report '" + m_path + "': " +
                  (reason.empty() ? "only " + std::to_string(written) + " of a line's " +
                                        std::to_string(whole.size()) +
                                        " bytes were written (is the disk full?)"
                                  : reason);
        return false;
    }
    return true;
}

std::string CPlanReport::Error() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

namespace {

// The text's lines; a last line without its end was cut off (each line is written whole) and is
// left out, with `torn` set.
std::vector<std::string> WholeLines(const std::string& text, bool& torn) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    torn = !text.empty() && text.back() != '\n';
    if (torn) {
        lines.pop_back();
    }
    return lines;
}

// Where the columns that --resume reads are, by the header's names.
struct ReportColumns {
    std::size_t count = 0;
    std::size_t port = 0;
    std::size_t address = 0;
    std::size_t sha = 0;
    std::size_t outcome = 0;
};

std::optional<ReportColumns> FindColumns(const std::string& header) {
    std::string why;
    std::vector<std::string> names;
    for (const CsvField& field : SplitCsvLine(header, why).value_or(std::vector<CsvField>{})) {
        names.push_back(field.text);
    }
    auto columnOf = [&](const char* column) {
        return static_cast<std::size_t>(std::find(names.begin(), names.end(), column) -
                                        names.begin());
    };
    ReportColumns columns{names.size(), columnOf("port"), columnOf("address"),
                          columnOf("image_sha256"), columnOf("outcome")};
    if (std::max({columns.port, columns.address, columns.sha, columns.outcome}) >= names.size()) {
        return std::nullopt;
    }
    return columns;
}

// A line's cells as text (spreadsheet quoting taken away), its address checked; nothing, with
// `why`, when the line is not one of a report.
std::optional<std::vector<std::string>> ReportCells(const std::string& line,
                                                    const ReportColumns& columns,
                                                    std::string& why) {
    const auto split = SplitCsvLine(line, why);
    if (!split) {
        return std::nullopt;
    }
    if (split->size() != columns.count) {
        why = std::to_string(split->size()) + " columns where the header has " +
              std::to_string(columns.count);
        return std::nullopt;
    }
    std::vector<std::string> cells;
    cells.reserve(split->size());
    for (const CsvField& field : *split) {
        cells.push_back(ReadTextCell(field.text));
    }
    const std::string& number = cells[columns.address];
    if (number.empty() || number.size() > 3 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
        why = "'" + PrintableText(number) + "' is not an address";
        return std::nullopt;
    }
    return cells;
}

}  // namespace

std::optional<ResumeRecord> ParseResumeReport(const std::string& text, const std::string& name,
                                              const PortNamer& busOf, std::string& error) {
    ResumeRecord record;
    const std::vector<std::string> lines = WholeLines(text, record.tornLastLine);
    auto fail = [&](std::size_t index, const std::string& why) {
        error = "--resume: " + name + " line " + std::to_string(index + 1) + ": " + why;
        return std::nullopt;
    };
    if (lines.empty()) {
        return record;
    }
    const auto columns = FindColumns(lines[0]);
    if (!columns) {
        return fail(0,
                    std::string("not a report of ptz-upgrade: its header is not ") + kReportHeader);
    }
    std::map<ReportKey, std::string> last;  // each head's last line, when it says upgraded
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        std::string why;
        const auto cells = ReportCells(line, *columns, why);
        if (!cells) {
            return fail(i, why);
        }
        const std::string& port = (*cells)[columns->port];
        const ReportKey key{busOf ? busOf(port) : port, std::stoi((*cells)[columns->address]),
                            (*cells)[columns->sha]};
        if ((*cells)[columns->outcome] != kUpgradedOutcome) {
            last.erase(key);
            continue;
        }
        // Written again cell by cell: a hand-edited line reaches a new report as safe text.
        std::string rebuilt;
        for (std::size_t c = 0; c < cells->size(); ++c) {
            rebuilt += (c == 0 ? "" : ",") + CsvTextCell((*cells)[c]);
        }
        last[key] = rebuilt;
    }
    record.upgraded = std::move(last);
    return record;
}

std::optional<ResumeRecord> ReadResumeReport(const std::string& path, const PortNamer& busOf,
                                             std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::u8path(path), ec)) {
        error = "--resume: the report '" + path +
                "' does not exist: give the report of the earlier run, or leave out --resume to "
                "start afresh";
        return std::nullopt;
    }
    CPlanFile file;
    std::string reason;
    if (!file.Open(path, CPlanFile::Mode::Read, reason)) {
        error = "--resume: Failed to open the report '" + path + "': " + reason;
        return std::nullopt;
    }
    const auto text = ReadReport(file, path, error);
    if (!text) {
        error = "--resume: " + error;
        return std::nullopt;
    }
    return ParseResumeReport(*text, path, busOf, error);
}
