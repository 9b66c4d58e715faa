// A scripted serial line with a head behind it, and a clock that only moves when asked, so that
// upgrade sessions run in tests without a port and without real waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "upgrade_line.h"

class FakeClock final : public IUpgradeClock {
  public:
    std::int64_t NowMs() override { return now; }
    void SleepMs(int ms) override {
        now += ms;
        slept += ms;
    }
    std::int64_t now = 1000;
    std::int64_t slept = 0;
};

struct OpenCall {
    std::int32_t baudRate;
    bool xonXoff;
};

// Plays a head: answers the connection check with 0x80 and every complete 4107-byte frame with
// the answer scripted for its sending (counted from 0), by default 0x82, or 0x84 for a frame
// that carries the last-block mark.
class FakeLine final : public IUpgradeLine {
  public:
    explicit FakeLine(FakeClock& clock) : m_clock(clock) {}

    bool Open(std::int32_t baudRate, bool xonXoff) override {
        ++openCalls;
        if (openCalls == failOpenAt) {
            return false;
        }
        opens.push_back({baudRate, xonXoff});
        closedMsBeforeOpen.push_back(m_closedAt < 0 ? -1 : m_clock.now - m_closedAt);
        isOpen = true;
        m_baud = baudRate;
        m_frameBytes.clear();
        return true;
    }

    bool Write(const std::uint8_t* bytes, std::size_t length) override {
        ++writeCalls;
        if (writeCalls == stopAtWrite && stop != nullptr) {
            stop->store(true);
        }
        if (!isOpen || writeCalls == failWriteAt) {
            return false;
        }
        writeSizes.push_back(length);
        for (std::size_t i = 0; i < length; ++i) {
            sent.push_back(bytes[i]);
            sentBaud.push_back(m_baud);
            if (echo) {
                incoming.push_back(bytes[i]);
            }
            Hear(bytes[i]);
        }
        return true;
    }

    LineReadResult Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                        std::size_t& received) override {
        received = 0;
        if (failReads) {
            return LineReadResult::Failed;
        }
        if (incoming.empty()) {
            m_clock.now += timeoutMs;
            return LineReadResult::TimedOut;
        }
        while (received < capacity && !incoming.empty()) {
            buffer[received++] = incoming.front();
            incoming.pop_front();
        }
        return LineReadResult::Data;
    }

    void Close() override {
        ++closeCalls;
        isOpen = false;
        m_closedAt = m_clock.now;
    }

    PortError LastError() const override {
        return PortError{PortErrorKind::Busy, "Opening 'fake': busy"};
    }

    // Bytes written at one speed, in order.
    std::vector<std::uint8_t> SentAt(std::int32_t baudRate) const {
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            if (sentBaud[i] == baudRate) {
                out.push_back(sent[i]);
            }
        }
        return out;
    }

    // Script: answers (several bytes allowed) to the sending of frame number n.
    std::map<int, std::vector<std::uint8_t>> answers;
    bool answerConnect = true;
    int connectAnswerFrom = 1;  // the connection check that gets the first 0x80
    bool echo = false;
    int failOpenAt = 0;
    int failWriteAt = 0;
    int stopAtWrite = 0;
    bool failReads = false;
    std::atomic<bool>* stop = nullptr;

    std::vector<OpenCall> opens;
    std::vector<std::int64_t> closedMsBeforeOpen;  // per opening; -1 for the first
    std::vector<std::uint8_t> sent;
    std::vector<std::int32_t> sentBaud;
    std::vector<std::size_t> writeSizes;
    std::vector<std::vector<std::uint8_t>> frames;  // every frame received, resends included
    // Sending n: once this many of its bytes were heard, the head says these bytes.
    std::map<int, std::pair<std::size_t, std::vector<std::uint8_t>>> answersMidFrame;
    std::deque<std::uint8_t> incoming;
    int openCalls = 0;
    int writeCalls = 0;
    int closeCalls = 0;
    int connectChecks = 0;
    bool isOpen = false;

  private:
    static constexpr std::size_t kFrameSize = 4107;

    void Hear(std::uint8_t byte) {
        if (m_baud != 115200) {
            return;  // the command: a head says nothing back
        }
        if (m_frameBytes.empty() && byte == 0x3F) {
            if (++m_questionMarks % 2 == 0) {
                ++connectChecks;
                if (answerConnect && connectChecks >= connectAnswerFrom) {
                    incoming.push_back(0x80);
                }
            }
            return;
        }
        m_frameBytes.push_back(byte);
        const auto early = answersMidFrame.find(static_cast<int>(frames.size()));
        if (early != answersMidFrame.end() && early->second.first == m_frameBytes.size()) {
            incoming.insert(incoming.end(), early->second.second.begin(),
                            early->second.second.end());
        }
        if (m_frameBytes.size() < kFrameSize) {
            return;
        }
        const int n = static_cast<int>(frames.size());
        frames.push_back(m_frameBytes);
        const auto scripted = answers.find(n);
        if (scripted != answers.end()) {
            incoming.insert(incoming.end(), scripted->second.begin(), scripted->second.end());
        } else {
            incoming.push_back(m_frameBytes[1] != 0 ? 0x84 : 0x82);
        }
        m_frameBytes.clear();
    }

    FakeClock& m_clock;
    std::int32_t m_baud = 0;
    std::int64_t m_closedAt = -1;
    int m_questionMarks = 0;
    std::vector<std::uint8_t> m_frameBytes;
};
