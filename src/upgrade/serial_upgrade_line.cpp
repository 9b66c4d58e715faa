#include "serial_upgrade_line.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace {
// The port's own read time-out is not what limits our waits (WaitForInput is), so it is set as
// long as the window program sets it.
constexpr std::uint32_t kReadIntervalMs = 600000;
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint8_t kNoParity = 0;
constexpr std::uint8_t kOneStopBit = 0;
}  // namespace

CSerialUpgradeLine::CSerialUpgradeLine(std::string portName) : m_portName(std::move(portName)) {}

CSerialUpgradeLine::~CSerialUpgradeLine() {
    Close();
}

bool CSerialUpgradeLine::FailWith(PortErrorKind kind, const std::string& what) {
    PortError error = m_link.LastError();
    if (error.kind == PortErrorKind::None || error.message.empty()) {
        error.kind = kind;
        error.message = what;
    }
    m_error = error;
    return false;
}

bool CSerialUpgradeLine::Open(std::int32_t baudRate, bool xonXoff) {
    Close();
    m_error = PortError{};
    m_link.SetParams(m_portName, static_cast<std::uint32_t>(baudRate), kDataBits, kNoParity,
                     kOneStopBit);
    const PortHandle handle = m_link.Open();
    if (handle == kInvalidPortHandle) {
        return FailWith(PortErrorKind::Other, "Opening '" + m_portName + "' failed");
    }
    m_handle = handle;
    const std::string where = "'" + m_portName + "' at " + std::to_string(baudRate) + " bit/s";
    if (!m_link.SetTimeouts(kReadIntervalMs, handle)) {
        FailWith(PortErrorKind::BadSetting, "Setting the time-outs of " + where + " failed");
        Close();
        return false;
    }
    if (!m_link.Configure(handle)) {
        FailWith(PortErrorKind::BadSetting, "Configuring " + where + " failed");
        Close();
        return false;
    }
    if (!m_link.CreateEvents()) {
        FailWith(PortErrorKind::Other, "Creating the events of " + where + " failed");
        Close();
        return false;
    }
    if (!xonXoff && !m_link.SetSoftwareFlowControl(handle, false)) {
        FailWith(PortErrorKind::BadSetting, "Turning off XON/XOFF on " + where + " failed");
        Close();
        return false;
    }
    return true;
}

bool CSerialUpgradeLine::Write(const std::uint8_t* bytes, std::size_t length) {
    if (m_handle == kInvalidPortHandle) {
        return FailWith(PortErrorKind::Other, "the port is not open");
    }
    std::size_t written = 0;
    while (written < length) {
        const std::size_t n = m_link.Write(bytes + written, length - written, m_handle);
        if (n == 0) {
            return FailWith(PortErrorKind::Other, "Writing to '" + m_portName + "' failed");
        }
        written += n;
    }
    return true;
}

LineReadResult CSerialUpgradeLine::Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                                        std::size_t& received) {
    received = 0;
    if (m_handle == kInvalidPortHandle) {
        FailWith(PortErrorKind::Other, "the port is not open");
        return LineReadResult::Failed;
    }
    long queued = m_link.QueuedInput(m_handle);
    if (queued == 0 && timeoutMs > 0) {
        switch (m_link.WaitForInput(m_handle, timeoutMs)) {
            case PortWaitResult::DataArrived:
                queued = m_link.QueuedInput(m_handle);
                break;
            case PortWaitResult::TimedOut:
            case PortWaitResult::Cancelled:
                return LineReadResult::TimedOut;
            case PortWaitResult::Failed:
                FailWith(PortErrorKind::Vanished, "'" + m_portName + "' stopped working");
                return LineReadResult::Failed;
        }
    }
    if (queued < 0) {
        FailWith(PortErrorKind::Vanished, "'" + m_portName + "' stopped working");
        return LineReadResult::Failed;
    }
    if (queued == 0) {
        return LineReadResult::TimedOut;
    }
    received = m_link.Read(buffer, std::min(capacity, CSerialLink::kMaxChunk), m_handle);
    if (received == 0) {
        FailWith(PortErrorKind::Other, "Reading from '" + m_portName + "' failed");
        return LineReadResult::Failed;
    }
    return LineReadResult::Data;
}

void CSerialUpgradeLine::Close() {
    if (m_handle != kInvalidPortHandle) {
        m_link.Close(m_handle);
        m_handle = kInvalidPortHandle;
    }
}

PortError CSerialUpgradeLine::LastError() const {
    return m_error;
}

std::int64_t CSteadyClock::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CSteadyClock::SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
