#include "json_events.h"

#include <array>

#include "exit_status.h"
#include "result_text.h"

namespace {

// Length of the well-formed UTF-8 sequence at `at` (no overlong forms, surrogates or code
// points past U+10FFFF), or 0 when the byte there does not start one.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto code = static_cast<unsigned char>(c);
        if (code >= 0x80) {
            // Names are bytes on POSIX; a byte that is not UTF-8 becomes U+FFFD, so that every
            // line stays valid JSON.
            const std::size_t length = Utf8SequenceLength(text, at);
            out += length == 0 ? "\\ufffd" : text.substr(at, length);
            at += length == 0 ? 1 : length;
            continue;
        }
        ++at;
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
                if (code < 0x20 || code == 0x7F) {
                    std::array<char, 8> escaped{};
                    std::snprintf(escaped.data(), escaped.size(), "\\u%04x", code);
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
    std::string begin = std::string("{\"event\":\"") + event +
                        "\",\"port\":" + JsonString(m_context.port) +
                        ",\"address\":" + std::to_string(m_context.address);
    if (m_context.row > 0) {
        begin += ",\"row\":" + std::to_string(m_context.row) +
                 ",\"label\":" + JsonString(m_context.label);
    }
    return begin;
}

void CJsonObserver::OnSwitched(std::int32_t baudRate) {
    m_stream.Write(Begin("switched") + ",\"protocol\":" + JsonString(m_context.protocolName) +
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
                   ",\"bytes_extra\":" + std::to_string(progress.bytesExtra) +
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
                   ",\"message\":" + JsonString(DescribeResult(result)) + "}");
}
