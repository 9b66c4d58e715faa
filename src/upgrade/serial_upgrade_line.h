// The upgrade session's line on a real serial port (CSerialLink), and the steady clock it runs on.
#pragma once

#include <string>

#include "../link/serial_link.h"
#include "upgrade_line.h"

class CSerialUpgradeLine final : public IUpgradeLine {
  public:
    explicit CSerialUpgradeLine(std::string portName);
    ~CSerialUpgradeLine() override;
    CSerialUpgradeLine(const CSerialUpgradeLine&) = delete;
    CSerialUpgradeLine& operator=(const CSerialUpgradeLine&) = delete;

    bool Open(std::int32_t baudRate, bool xonXoff) override;
    bool Write(const std::uint8_t* bytes, std::size_t length) override;
    LineReadResult Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                        std::size_t& received) override;
    void Close() override;
    PortError LastError() const override;

  private:
    bool FailWith(PortErrorKind kind, const std::string& what);

    std::string m_portName;
    CSerialLink m_link;
    PortHandle m_handle = kInvalidPortHandle;
    PortError m_error;
};

class CSteadyClock final : public IUpgradeClock {
  public:
    std::int64_t NowMs() override;
    void SleepMs(int ms) override;
};
