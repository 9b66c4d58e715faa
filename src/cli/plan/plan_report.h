// --report FILE and --resume REPORT: the record of a plan's run, one CSV line per head as it
// ends, so that an interrupted run keeps what it did and the next run can go on from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "fleet_plan.h"
#include "plan_file.h"

struct ReportEntry {
    int row = 0;  // the plan's line
    std::string label;
    std::string port;
    int address = 0;
    std::string image;
    std::string sha256;
    std::string start;    // UTC, ISO 8601; empty when the head was not tried
    std::string end;      // likewise
    std::string outcome;  // "upgraded", "failed: <why>" or "not tried"
    std::int64_t frames = 0;
    int resends = 0;
};

constexpr const char* kReportHeader =
    "row,label,port,address,image,image_sha256,start,end,outcome,frames,resends";
constexpr const char* kUpgradedOutcome = "upgraded";

// "2026-12-09T13:05:01Z".
std::string IsoUtc(std::chrono::system_clock::time_point time);

// The entry as one CSV line, without its line end; its texts as spreadsheet text cells.
std::string ReportLine(const ReportEntry& entry);

class CPlanReport {
  public:
    // Opens the report for appending: it must be a regular file, new or empty (it then gets the
    // header first) or a report of ptz-upgrade; a last line cut short (a run killed while
    // writing it) is cut away, so the next line starts whole. `note` tells of such a cut.
    bool Open(const std::string& path, std::string& error, std::string& note);
    bool IsOpen() const { return m_open; }
    // One line, handed to the system in one write. Thread-safe. False when it did not go out
    // whole, or an earlier line did not: after a failure nothing more is written, so no line
    // follows a torn one. `Error` says why.
    bool Append(const std::string& line);
    std::string Error() const;

  private:
    mutable std::mutex m_mutex;
    CPlanFile m_file;
    bool m_open = false;
    std::string m_path;
    std::string m_error;
};

using ReportKey = std::tuple<std::string, int, std::string>;  // bus, address, image SHA-256

struct ResumeRecord {
    // The report's line for each head whose last whole line says it was upgraded.
    std::map<ReportKey, std::string> upgraded;
    bool tornLastLine = false;  // the last line was incomplete and is ignored
};

// The heads a report's text lists as upgraded, the last line of each head deciding (a later
// failure cancels an earlier success); ports are named by `busOf`. Nothing, with `error`
// naming the line, when the text is not a report this program wrote.
std::optional<ResumeRecord> ParseResumeReport(const std::string& text, const std::string& name,
                                              const PortNamer& busOf, std::string& error);

// The same, of a report file (a regular file of at most 64 MiB).
std::optional<ResumeRecord> ReadResumeReport(const std::string& path, const PortNamer& busOf,
                                             std::string& error);
