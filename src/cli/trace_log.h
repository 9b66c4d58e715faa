// --trace: every byte sent and received, decoded, one line per transmission or answer byte, each
// with the time since the start and the line speed.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli_options.h"
#include "port_list.h"
#include "run_context.h"
#include "upgrade_session.h"

class CTraceFile {
  public:
    // False with `error` set when the file cannot be created.
    bool Open(const std::string& path, std::string& error);
    ~CTraceFile();
    // One line: "<seconds> <port> <speed> bit/s <text>". Thread-safe.
    void Line(const std::string& port, std::int32_t baudRate, const std::string& text);
    bool IsOpen() const { return m_file != nullptr; }

  private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

class CTraceObserver final : public IUpgradeObserver {
  public:
    CTraceObserver(CTraceFile& file, const RunContext& context)
        : m_file(file), m_context(context) {}
    ~CTraceObserver() override = default;
    CTraceObserver(const CTraceObserver&) = delete;
    CTraceObserver& operator=(const CTraceObserver&) = delete;

    void OnSent(SentKind kind, const std::uint8_t* bytes, std::size_t length, std::int32_t baudRate,
                const FrameInfo* frame) override;
    void OnReceived(std::uint8_t byte, std::int32_t baudRate, bool echo) override;
    void OnResult(const UpgradeResult& result) override;

  private:
    void FlushEcho();

    CTraceFile& m_file;
    const RunContext& m_context;
    std::vector<std::uint8_t> m_echo;  // echoed bytes gathered into one line per transmission
    std::int32_t m_echoBaud = 0;
};

// The adapter behind a local port, as the system lists it, for the start of a bus's trace:
// "adapter: FTDI 0403:6001, driver ftdi_sio, latency timer 16 ms; ...".
std::string AdapterTraceText(const SerialPortInfo& port);

// "73 00 02 ..." in upper-case hex.
std::string HexText(const std::uint8_t* bytes, std::size_t length);
