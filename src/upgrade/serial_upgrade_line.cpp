#include "serial_upgrade_line.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "line_timing.h"
#include "port_opening.h"

namespace {
// How often the watcher looks at the stop flag: a signal handler sets it and cannot notify.
constexpr auto kWatchInterval = std::chrono::milliseconds(100);

std::string PortAtSpeed(const std::string& portName, std::int32_t baudRate) {
    return "'" + portName + "' at " + std::to_string(baudRate) + " bit/s";
}

// The link's own reason for a failed opening; these words stand in only where it gave none.
PortError OpeningError(const PortOpeningResult& opened, const std::string& portName,
                       std::int32_t baudRate) {
    if (opened.error.kind != PortErrorKind::None && !opened.error.message.empty()) {
        return opened.error;
    }
    const std::string where = PortAtSpeed(portName, baudRate);
    switch (opened.failedStep) {
        case PortOpeningStep::Open:
            return {PortErrorKind::Other, "Opening '" + portName + "' failed"};
        case PortOpeningStep::SetTimeouts:
            return {PortErrorKind::BadSetting, "Setting the time-outs of " + where + " failed"};
        case PortOpeningStep::Configure:
            return {PortErrorKind::BadSetting, "Configuring " + where + " failed"};
        case PortOpeningStep::CreateEvents:
        case PortOpeningStep::None:
            break;
    }
    return {PortErrorKind::Other, "Creating the events of " + where + " failed"};
}
}  // namespace

CSerialUpgradeLine::CSerialUpgradeLine(std::string portName, const std::atomic<bool>* stop,
                                       int holdLimitMs)
    : m_portName(std::move(portName)),
      m_stop(stop),
      m_holdLimitMs(holdLimitMs),
      m_watcher([this] { WatchWrites(); }) {}

CSerialUpgradeLine::~CSerialUpgradeLine() {
    {
        const std::lock_guard<std::mutex> lock(m_watchMutex);
        m_quit = true;
    }
    m_watchWake.notify_all();
    m_watcher.join();
    Close();
}

void CSerialUpgradeLine::WatchWrites() {
    std::unique_lock<std::mutex> lock(m_watchMutex);
    while (!m_quit) {
        m_watchWake.wait_for(lock, kWatchInterval);
        if (!m_armed || m_quit) {
            continue;
        }
        const bool stopping = m_stop != nullptr && m_stop->load();
        if (stopping || std::chrono::steady_clock::now() >= m_watchDeadline) {
            // The write stays armed until Write disarms it, so the handle is still open here.
            (void)m_link.SetSoftwareFlowControl(m_watchedHandle, false);
            m_armed = false;
            m_released.fetch_add(1);
        }
    }
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
    const PortOpeningResult opened =
        OpenPortForUpgrade(m_link, m_portName, static_cast<std::uint32_t>(baudRate));
    if (!opened.Succeeded()) {
        m_error = OpeningError(opened, m_portName, baudRate);
        return false;
    }
    m_handle = opened.handle;
    m_baudRate = baudRate;
    m_xonXoff = xonXoff;
    if (!xonXoff && !m_link.SetSoftwareFlowControl(m_handle, false)) {
        FailWith(PortErrorKind::BadSetting,
                 "Turning off XON/XOFF on " + PortAtSpeed(m_portName, baudRate) + " failed");
        Close();
        return false;
    }
    return true;
}

bool CSerialUpgradeLine::Write(const std::uint8_t* bytes, std::size_t length) {
    if (m_handle == kInvalidPortHandle) {
        return FailWith(PortErrorKind::Other, "the port is not open");
    }
    const int released = m_released.load();
    if (m_xonXoff) {
        const std::lock_guard<std::mutex> lock(m_watchMutex);
        m_watchedHandle = m_handle;
        m_watchDeadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(m_holdLimitMs) +
                          line::WireTime(length, m_baudRate);
        m_armed = true;
    }
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < length) {
        const std::size_t n = m_link.Write(bytes + written, length - written, m_handle);
        ok = n != 0;
        written += n;
    }
    {
        const std::lock_guard<std::mutex> lock(m_watchMutex);
        m_armed = false;
    }
    if (!ok) {
        return FailWith(PortErrorKind::Other, "Writing to '" + m_portName + "' failed");
    }
    // A write that was let go leaves flow control off: the next one is held back as usual.
    if (m_released.load() != released && !m_link.SetSoftwareFlowControl(m_handle, true)) {
        return FailWith(PortErrorKind::BadSetting,
                        "Turning XON/XOFF on again on '" + m_portName + "' failed");
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
