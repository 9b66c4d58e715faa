#include "trace_log.h"

#include <array>
#include <cerrno>
#include <system_error>

#include "head_answer.h"
#include "result_text.h"
#include "usb_adapter.h"
#include "utf8_io.h"

std::string HexText(const std::uint8_t* bytes, std::size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0) {
            text += ' ';
        }
        text += kDigits[bytes[i] >> 4U];
        text += kDigits[bytes[i] & 0x0FU];
    }
    return text;
}

std::string AdapterTraceText(const SerialPortInfo& port) {
    if (port.vidPid.empty() && port.driver.empty()) {
        return "adapter: none the system lists for this port";
    }
    const std::string advice = LatencyAdvice(port);
    return "adapter: " + DescribeAdapter(port) + (advice.empty() ? "" : "; " + advice);
}

bool CTraceFile::Open(const std::string& path, std::string& error) {
    m_file = OpenUtf8File(path, "w");
    if (m_file == nullptr) {
        error = "Failed to create the trace file '" + path +
                "': " + std::generic_category().message(errno);
        return false;
    }
    return true;
}

CTraceFile::~CTraceFile() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

void CTraceFile::Line(const std::string& port, std::int32_t baudRate, const std::string& text) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr) {
        return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::fprintf(m_file, "%.6f %s %d bit/s %s\n", seconds, port.c_str(), baudRate, text.c_str());
    std::fflush(m_file);
}

void CTraceObserver::OnSent(SentKind kind, const std::uint8_t* bytes, std::size_t length,
                            std::int32_t baudRate, const FrameInfo* frame) {
    FlushEcho();
    std::string text;
    switch (kind) {
        case SentKind::Command:
            text = "sent upgrade-mode command for head " + std::to_string(m_context.address) +
                   " (" + m_context.protocolName + "): ";
            break;
        case SentKind::ConnectionCheck:
            text = "sent connection check: ";
            break;
        case SentKind::Frame: {
            std::array<char, 128> head{};
            std::snprintf(head.data(), head.size(),
                          "sent frame %lld%s load address 0x%08x last %d sum 0x%06x: ",
                          static_cast<long long>(frame->index), frame->attempt > 0 ? " again" : "",
                          frame->loadAddress, frame->lastBlock ? 1 : 0, frame->sum);
            text = head.data();
            break;
        }
    }
    m_file.Line(m_context.port, baudRate, text + HexText(bytes, length));
}

void CTraceObserver::OnReceived(std::uint8_t byte, std::int32_t baudRate, bool echo) {
    if (echo) {
        m_echo.push_back(byte);
        m_echoBaud = baudRate;
        return;
    }
    FlushEcho();
    std::array<char, 16> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%02X", byte);
    m_file.Line(m_context.port, baudRate,
                std::string("received ") + hex.data() + " " + DescribeAnswer(byte));
}

void CTraceObserver::OnResult(const UpgradeResult& result) {
    FlushEcho();
    m_file.Line(
        m_context.port, result.baudRate,
        "head " + std::to_string(m_context.address) + ": " + DescribeStatus(result.status) +
            (result.status == UpgradeStatus::Done ? "" : " (" + DescribeResult(result) + ")"));
}

void CTraceObserver::FlushEcho() {
    if (m_echo.empty()) {
        return;
    }
    m_file.Line(m_context.port, m_echoBaud,
                "received echo of " + std::to_string(m_echo.size()) +
                    " bytes sent (dropped): " + HexText(m_echo.data(), m_echo.size()));
    m_echo.clear();
}
