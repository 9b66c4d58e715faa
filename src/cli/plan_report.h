// --report FILE and --resume REPORT: the record of a plan's run, one CSV line per head as it
// ends, so that an interrupted run keeps what it did and the next run can go on from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

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

// The entry as one CSV line, without its line end.
std::string ReportLine(const ReportEntry& entry);

class CPlanReport {
  public:
    CPlanReport() = default;
    ~CPlanReport();
    CPlanReport(const CPlanReport&) = delete;
    CPlanReport& operator=(const CPlanReport&) = delete;

    // Opens the report for appending: a new or empty file gets the header first; a last line
    // cut short (a run killed while writing it) is cut away, so the next line starts whole.
    // `note` tells of such a cut.
    bool Open(const std::string& path, std::string& error, std::string& note);
    bool IsOpen() const { return m_file != nullptr; }
    // One line, handed to the system in one write and flushed. Thread-safe. False when the
    // system refused it; `Error` says why.
    bool Append(const std::string& line);
    std::string Error() const;

  private:
    mutable std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_error;
};

using ReportKey = std::tuple<std::string, int, std::string>;  // port, address, image SHA-256

struct ResumeRecord {
    std::map<ReportKey, std::string> upgraded;  // the report's line for each upgraded head
    bool tornLastLine = false;                  // the last line was incomplete and is ignored
};

// The heads a report lists as upgraded. Nothing, with `error` naming the line, when the report
// is not one this program wrote.
std::optional<ResumeRecord> ReadResumeReport(const std::string& path, std::string& error);
