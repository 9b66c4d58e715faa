// A scripted serial line with a head behind it, and a clock that only moves when asked, so that
// upgrade sessions run in tests without a port and without real waiting. The head hears each
// byte once it has crossed the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "line_wire.h"
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
// that carries the last-block mark. A write returns once its bytes have crossed the line, or at
// once with `writesReturnAtOnce` (a pty, a tty's write buffer, many USB drivers).
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
            const std::int64_t crossed = m_wire.Cross(m_baud);
            if (echo) {
                m_wire.Say(crossed, bytes[i]);
            }
            Hear(bytes[i]);
        }
        if (!writesReturnAtOnce) {
            MoveTo(m_wire.FreeNs());
        }
        return true;
    }

    LineReadResult Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                        std::size_t& received) override {
        received = 0;
        if (failReads) {
            return LineReadResult::Failed;
        }
        std::size_t ready = m_wire.Wait(timeoutMs);
        MoveTo(m_wire.NowNs());
        if (ready == 0) {
            return LineReadResult::TimedOut;
        }
        for (; received < capacity && ready > 0; --ready) {
            buffer[received++] = m_wire.Next();
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

    // Script: answers (several bytes allowed) to the sending of frame number n, its bytes
    // `answerGapMs` apart.
    std::map<int, std::vector<std::uint8_t>> answers;
    int answerGapMs = 0;
    bool writesReturnAtOnce = false;
    std::int64_t stopAtMs = -1;  // the operator asks to stop at this time (with `stop`)
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
    std::vector<std::int64_t> frameHeardMs;  // when the last byte of each frame had crossed
    int openCalls = 0;
    int writeCalls = 0;
    int closeCalls = 0;
    int connectChecks = 0;
    bool isOpen = false;

  private:
    static constexpr std::size_t kFrameSize = 4107;

    // Notes the time for a stop request the script makes.
    void MoveTo(std::int64_t ns) {
        m_wire.MoveTo(ns);
        if (stop != nullptr && stopAtMs >= 0 && m_clock.now >= stopAtMs) {
            stop->store(true);
        }
    }
    // The head says `bytes` at `atNs`, `gapMs` apart.
    void Say(std::int64_t atNs, const std::vector<std::uint8_t>& bytes, int gapMs = 0) {
        for (const std::uint8_t byte : bytes) {
            m_wire.Say(atNs, byte);
            atNs += std::int64_t{gapMs} * LineWire::kNsPerMs;
        }
    }

    void Hear(std::uint8_t byte) {
        if (m_baud != 115200) {
            return;  // the command: a head says nothing back
        }
        if (m_frameBytes.empty() && byte == 0x3F) {
            if (++m_questionMarks % 2 == 0) {
                ++connectChecks;
                if (answerConnect && connectChecks >= connectAnswerFrom) {
                    Say(m_wire.FreeNs(), {0x80});
                }
            }
            return;
        }
        m_frameBytes.push_back(byte);
        const auto early = answersMidFrame.find(static_cast<int>(frames.size()));
        if (early != answersMidFrame.end() && early->second.first == m_frameBytes.size()) {
            Say(m_wire.FreeNs(), early->second.second);
        }
        if (m_frameBytes.size() < kFrameSize) {
            return;
        }
        const int n = static_cast<int>(frames.size());
        frames.push_back(m_frameBytes);
        frameHeardMs.push_back(m_wire.FreeNs() / LineWire::kNsPerMs);
        const auto scripted = answers.find(n);
        if (scripted != answers.end()) {
            Say(m_wire.FreeNs(), scripted->second, answerGapMs);
        } else {
            Say(m_wire.FreeNs(), {static_cast<std::uint8_t>(m_frameBytes[1] != 0 ? 0x84 : 0x82)});
        }
        m_frameBytes.clear();
    }

    FakeClock& m_clock;
    LineWire m_wire{m_clock.now};
    std::int32_t m_baud = 0;
    std::int64_t m_closedAt = -1;
    int m_questionMarks = 0;
    std::vector<std::uint8_t> m_frameBytes;
};
