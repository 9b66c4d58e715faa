#include "json_events.h"

#include <array>

#include "exit_status.h"

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    std::array<char, 8> escaped{};
                    std::snprintf(escaped.data(), escaped.size(), "\\u%04x", c);
                    out += escaped.data();
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

void CJsonStream::Write(const std::string& object) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_out << object << '\n';
    m_out.flush();
}

std::string CJsonObserver::Begin(const char* event) const {
    return std::string("{\"event\":\"") + event + "\",\"port\":" + JsonString(m_context.port) +
           ",\"address\":" + std::to_string(m_context.address);
}

void CJsonObserver::OnSwitched(std::int32_t baudRate) {
    m_stream.Write(Begin("switched") + ",\"protocol\":" + JsonString(m_options.protocolName) +
                   ",\"speed\":" + std::to_string(baudRate) + "}");
}

void CJsonObserver::OnConnected(int tries) {
    m_stream.Write(Begin("connected") + ",\"tries\":" + std::to_string(tries) + "}");
}

void CJsonObserver::OnFrameAccepted(const FrameInfo& frame, const UpgradeProgress& progress) {
    m_stream.Write(Begin("frame") + ",\"index\":" + std::to_string(frame.index) +
                   ",\"load_address\":" + std::to_string(frame.loadAddress) + ",\"last\":" +
                   (frame.lastBlock ? "true" : "false") + ",\"sum\":" + std::to_string(frame.sum) +
                   ",\"frames_done\":" + std::to_string(progress.framesAccepted) +
                   ",\"frames_total\":" + std::to_string(progress.framesTotal) +
                   ",\"bytes_sent\":" + std::to_string(progress.bytesSent) +
                   ",\"bytes_total\":" + std::to_string(progress.bytesTotal) + "}");
}

void CJsonObserver::OnResent(const FrameInfo& frame, std::uint8_t answer) {
    m_stream.Write(Begin("resent") + ",\"index\":" + std::to_string(frame.index) +
                   ",\"load_address\":" + std::to_string(frame.loadAddress) + ",\"answer\":" +
                   std::to_string(answer) + ",\"attempt\":" + std::to_string(frame.attempt) + "}");
}

void CJsonObserver::OnResult(const UpgradeResult& result) {
    m_stream.Write(Begin("result") + ",\"status\":" + JsonString(DescribeStatus(result.status)) +
                   ",\"exit\":" + std::to_string(ExitStatusOf(result.status)) +
                   ",\"frame\":" + std::to_string(result.frameReached) +
                   ",\"resends\":" + std::to_string(result.resends) +
                   ",\"message\":" + JsonString(result.message) + "}");
}
