// The upgrade session's line on a real serial port (CSerialLink), and the steady clock it runs on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "serial_link.h"
#include "upgrade_line.h"

class CSerialUpgradeLine final : public IUpgradeLine {
  public:
    // A write that the far end holds back with XOFF for longer than `holdLimitMs` (plus the time
    // its bytes need on the wire), or while `stop` is set, is let go: XON/XOFF is switched off
    // for the rest of that write. A lost XON or an echoed XOFF would otherwise block the write
    // for ever, deaf to time limits and to Ctrl-C.
    explicit CSerialUpgradeLine(std::string portName, const std::atomic<bool>* stop = nullptr,
                                int holdLimitMs = 10000);
    ~CSerialUpgradeLine() override;
    CSerialUpgradeLine(const CSerialUpgradeLine&) = delete;
    CSerialUpgradeLine& operator=(const CSerialUpgradeLine&) = delete;

    bool Open(std::int32_t baudRate, bool xonXoff) override;
    bool Write(const std::uint8_t* bytes, std::size_t length) override;
    LineReadResult Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                        std::size_t& received) override;
    void Close() override;
    PortError LastError() const override;

    // Writes that were let go because the far end held them too long (or a stop came).
    int HeldWritesReleased() const { return m_released.load(); }

  private:
    bool FailWith(PortErrorKind kind, const std::string& what);
    void WatchWrites();

    std::string m_portName;
    CSerialLink m_link;
    PortHandle m_handle = kInvalidPortHandle;
    PortError m_error;
    std::int32_t m_baudRate = 0;
    bool m_xonXoff = false;

    // The write being watched: armed by Write on the session's thread, let go by the watcher.
    const std::atomic<bool>* m_stop;
    int m_holdLimitMs;
    std::mutex m_watchMutex;
    std::condition_variable m_watchWake;
    bool m_armed = false;
    bool m_quit = false;
    PortHandle m_watchedHandle = kInvalidPortHandle;
    std::chrono::steady_clock::time_point m_watchDeadline{};
    std::atomic<int> m_released{0};
    std::thread m_watcher;
};

class CSteadyClock final : public IUpgradeClock {
  public:
    std::int64_t NowMs() override;
    void SleepMs(int ms) override;
};
