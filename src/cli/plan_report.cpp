#include "plan_report.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "csv_line.h"
#include "utf8_io.h"

namespace {

constexpr std::size_t kWriteBuffer = 65536;  // larger than any line, so each is one write

std::string SystemError() {
    return std::generic_category().message(errno);
}

bool ReadAll(const std::string& path, std::string& text, std::string& error) {
    std::FILE* file = OpenUtf8File(path, "rb");
    if (file == nullptr) {
        error = "Failed to open the report '" + path + "': " + SystemError();
        return false;
    }
    std::array<char, 65536> chunk{};
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        text.append(chunk.data(), got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "Failed to read the report '" + path + "'";
    }
    return !failed;
}

// Makes an existing report ready to take lines: it must be one of ours (appending to another
// file, the plan say, would spoil it), and a torn last line is cut away. `cut` tells of a cut.
bool PrepareExisting(const std::string& path, bool& cut, std::string& error) {
    std::string text;
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::u8path(path);
    if (!std::filesystem::exists(file, ec)) {
        return true;
    }
    if (!ReadAll(path, text, error)) {
        return false;
    }
    const std::string first = text.substr(0, text.find_first_of("\r\n"));
    if (!text.empty() && first != kReportHeader) {
        error = "'" + path + "' is not a report of ptz-upgrade (its first line is not " +
                kReportHeader + "): name a new file or an earlier report";
        return false;
    }
    if (text.empty() || text.back() == '\n') {
        return true;
    }
    cut = true;
    const auto lastEnd = text.find_last_of('\n');
    std::filesystem::resize_file(file, lastEnd == std::string::npos ? 0 : lastEnd + 1, ec);
    if (ec) {
        error =
            "Failed to cut the incomplete last line of the report '" + path + "': " + ec.message();
    }
    return !ec;
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
    return std::to_string(e.row) + "," + CsvQuote(e.label) + "," + CsvQuote(e.port) + "," +
           std::to_string(e.address) + "," + CsvQuote(e.image) + "," + e.sha256 + "," + e.start +
           "," + e.end + "," + CsvQuote(e.outcome) + "," + std::to_string(e.frames) + "," +
           std::to_string(e.resends);
}

CPlanReport::~CPlanReport() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

bool CPlanReport::Open(const std::string& path, std::string& error, std::string& note) {
    m_path = path;
    bool cut = false;
    if (!PrepareExisting(path, cut, error)) {
        return false;
    }
    if (cut) {
        note = "the last line of the report '" + path +
               "' was incomplete (a run cut off while writing it): it is cut away";
    }
    m_file = OpenUtf8File(path, "ab");
    if (m_file == nullptr) {
        error = "Failed to open the report '" + path + "' for writing: " + SystemError();
        return false;
    }
    std::setvbuf(m_file, nullptr, _IOFBF, kWriteBuffer);
    std::fseek(m_file, 0, SEEK_END);
    if (std::ftell(m_file) == 0 && !Append(kReportHeader)) {
        error = m_error;
        return false;
    }
    return true;
}

bool CPlanReport::Append(const std::string& line) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const std::string whole = line + "\n";
    if (std::fwrite(whole.data(), 1, whole.size(), m_file) != whole.size() ||
        std::fflush(m_file) != 0) {
        if (m_error.empty()) {
            m_error = "Failed to write the report '" + m_path + "': " + SystemError();
        }
        return false;
    }
    return true;
}

std::string CPlanReport::Error() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

std::optional<ResumeRecord> ReadResumeReport(const std::string& path, std::string& error) {
    std::string text;
    if (!ReadAll(path, text, error)) {
        return std::nullopt;
    }
    ResumeRecord record;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    if (!text.empty() && text.back() != '\n') {
        // Each line is written whole; one without its end was cut off and is not trusted.
        lines.pop_back();
        record.tornLastLine = true;
    }
    auto fail = [&](std::size_t index, const std::string& why) {
        error = "--resume: " + path + " line " + std::to_string(index + 1) + ": " + why;
        return std::nullopt;
    };
    if (lines.empty()) {
        return record;
    }
    std::string why;
    const auto header = SplitCsvLine(lines[0], why);
    std::vector<std::string> names;
    for (const CsvField& field : header.value_or(std::vector<CsvField>{})) {
        names.push_back(field.text);
    }
    auto columnOf = [&](const char* name) {
        return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) -
                                        names.begin());
    };
    const std::size_t port = columnOf("port");
    const std::size_t address = columnOf("address");
    const std::size_t sha = columnOf("image_sha256");
    const std::size_t outcome = columnOf("outcome");
    if (std::max({port, address, sha, outcome}) >= names.size()) {
        return fail(0,
                    std::string("not a report of ptz-upgrade: its header is not ") + kReportHeader);
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        const auto fields = SplitCsvLine(line, why);
        if (!fields) {
            return fail(i, why);
        }
        if (fields->size() != names.size()) {
            return fail(i, std::to_string(fields->size()) + " columns where the header has " +
                               std::to_string(names.size()));
        }
        if ((*fields)[outcome].text != kUpgradedOutcome) {
            continue;
        }
        const std::string& number = (*fields)[address].text;
        if (number.empty() || number.size() > 3 ||
            number.find_first_not_of("0123456789") != std::string::npos) {
            return fail(i, "'" + number + "' is not an address");
        }
        record.upgraded[{(*fields)[port].text, std::stoi(number), (*fields)[sha].text}] = line;
    }
    return record;
}
