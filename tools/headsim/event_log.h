// The simulator's event log: one JSON object per line, each with the milliseconds since start.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// One JSON object built field by field; strings are escaped.
class JsonLine {
  public:
    explicit JsonLine(std::string_view event);
    JsonLine& Add(std::string_view key, std::int64_t value);
    JsonLine& Add(std::string_view key, int value) { return Add(key, std::int64_t{value}); }
    JsonLine& Add(std::string_view key, bool value);
    JsonLine& Add(std::string_view key, std::string_view value);
    JsonLine& Add(std::string_view key, const char* value) {
        return Add(key, std::string_view(value));
    }
    std::string Text() const { return m_text + "}"; }

  private:
    void Key(std::string_view key);
    std::string m_text;
};

std::string HexBytes(const std::uint8_t* bytes, std::size_t count);  // "ff 01 00"
std::string Hex(std::uint32_t value, int digits);                    // "0x00020000"

class EventLog {
  public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool Open(const std::string& path, std::string& error);  // empty path: log nothing
    void Write(JsonLine line);
    void Close();

  private:
    std::FILE* m_file = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};
