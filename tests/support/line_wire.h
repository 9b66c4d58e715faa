// The timing of a scripted serial line, for fakes of the upgrade line: bytes cross the line at
// its speed, 10 bits a byte, and what the far end says can be read from the moment it says it.
// It keeps nanoseconds; the test's clock (whole milliseconds) shows them rounded down.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

class LineWire {
  public:
    static constexpr std::int64_t kNsPerMs = 1000000;
    static constexpr std::int64_t kNsPerSecond = 1000 * kNsPerMs;

    explicit LineWire(std::int64_t& clockMs) : m_clockMs(clockMs) {}

    std::int64_t NowNs() {
        m_nowNs = std::max(m_nowNs, m_clockMs * kNsPerMs);
        return m_nowNs;
    }
    void MoveTo(std::int64_t ns) {
        m_nowNs = std::max(NowNs(), ns);
        m_clockMs = m_nowNs / kNsPerMs;
    }

    // A byte handed over now at `baudRate` bit/s: when it has crossed, after those before it.
    std::int64_t Cross(std::int32_t baudRate) {
        m_freeNs = std::max(m_freeNs, NowNs()) + 10 * kNsPerSecond / baudRate;
        return m_freeNs;
    }
    // When every byte handed over so far has crossed.
    std::int64_t FreeNs() const { return m_freeNs; }

    // The far end says `byte` at `atNs`; the line keeps the order in which things were said.
    void Say(std::int64_t atNs, std::uint8_t byte) {
        m_said.emplace_back(m_said.empty() ? atNs : std::max(atNs, m_said.back().first), byte);
    }

    // Waits up to `timeoutMs` for something said: the clock moves to when the first byte can be
    // read, or to the end of the wait. Returns how many bytes can be read then.
    std::size_t Wait(int timeoutMs) {
        const std::int64_t until = NowNs() + std::int64_t{timeoutMs} * kNsPerMs;
        if (m_said.empty() || m_said.front().first > until) {
            MoveTo(until);
            return 0;
        }
        MoveTo(m_said.front().first);
        const auto later = std::find_if(m_said.begin(), m_said.end(),
                                        [this](const auto& said) { return said.first > m_nowNs; });
        return static_cast<std::size_t>(later - m_said.begin());
    }
    // The next byte said; only after Wait counted it.
    std::uint8_t Next() {
        const std::uint8_t byte = m_said.front().second;
        m_said.pop_front();
        return byte;
    }

  private:
    std::int64_t& m_clockMs;
    std::int64_t m_nowNs = 0;
    std::int64_t m_freeNs = 0;
    std::deque<std::pair<std::int64_t, std::uint8_t>> m_said;
};
