#include "event_log.h"

#include <cerrno>
#include <system_error>

JsonLine::JsonLine(std::string_view event) {
    m_text = "{";
    Add("event", event);
}

void JsonLine::Key(std::string_view key) {
    if (m_text.size() > 1) {
        m_text += ',';
    }
    m_text += '"';
    m_text += key;
    m_text += "\":";
}

JsonLine& JsonLine::Add(std::string_view key, std::int64_t value) {
    Key(key);
    m_text += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
    Key(key);
    m_text += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
    Key(key);
    m_text += '"';
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            m_text += '\\';
            m_text += c;
        } else if (u < 0x20) {
            m_text += "\\u00";
            m_text += "0123456789abcdef"[u >> 4U];
            m_text += "0123456789abcdef"[u & 0xFU];
        } else {
            m_text += c;
        }
    }
    m_text += '"';
    return *this;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += "0123456789abcdef"[bytes[i] >> 4U];
        text += "0123456789abcdef"[bytes[i] & 0xFU];
    }
    return text;
}

std::string Hex(std::uint32_t value, int digits) {
    std::string text = "0x";
    for (int i = digits - 1; i >= 0; --i) {
        text += "0123456789abcdef"[(value >> (4U * static_cast<unsigned>(i))) & 0xFU];
    }
    return text;
}

EventLog::~EventLog() {
    Close();
}

bool EventLog::Open(const std::string& path, std::string& error) {
    Close();
    if (path.empty()) {
        return true;
    }
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        error = "Cannot write the log '" + path + "': " + std::generic_category().message(errno) +
                ". Choose a writable path for --log.";
        return false;
    }
    m_start = std::chrono::steady_clock::now();
    return true;
}

void EventLog::Write(JsonLine line) {
    if (m_file == nullptr) {
        return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - m_start)
                        .count();
    line.Add("t_ms", static_cast<std::int64_t>(ms));
    const std::string text = line.Text() + "\n";
    std::fwrite(text.data(), 1, text.size(), m_file);
    // Flushed per line so that a test or a person tailing the log sees events as they happen.
    std::fflush(m_file);
}

void EventLog::Close() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}
