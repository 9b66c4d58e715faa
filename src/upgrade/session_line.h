// The upgrade session's side of the line, below the dialog with the head: opening at a speed,
// writes in the asked write mode with an echo dropped as it comes, answer bytes with the time they
// arrived, pauses that a stop request cuts short, and the result's failure fields. The session
// (upgrade_session.cpp) is built on it; nothing else uses it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>

#include "upgrade_session.h"

class CSessionLine {
  protected:
    CSessionLine(IUpgradeLine& line, IUpgradeClock& clock, IUpgradeObserver& observer,
                 const std::atomic<bool>& stop, const UpgradeSessionOptions& options)
        : m_line(line), m_clock(clock), m_observer(observer), m_stop(stop), m_options(options) {
        m_result.answerTimeoutMs = options.answerTimeoutMs;
    }

    // Outcome of waiting for one byte.
    enum class Wait { Byte, TimedOut, Failed, Stopped };

    // The result says why the session ends; false, to be returned on.
    bool Fail(UpgradeStatus status);
    bool FailPort(PortAction action);
    bool Stopped();
    // The result, the line closed.
    UpgradeResult Finish();

    bool OpenLine(std::int32_t baudRate);
    void CloseLine();

    // Bytes that mean nothing where they came, kept (up to a bound) for the report.
    void NoteStray(std::uint8_t byte);
    void ForgetStray();

    // Drops what arrived unasked, so that a stray or late byte is never taken for the answer to
    // what is sent now, then writes the first `length` bytes and announces `announced` (0:
    // `length`): a frame's last byte follows in a write of its own.
    bool Send(SentKind kind, const std::uint8_t* bytes, std::size_t length, const FrameInfo* frame,
              std::size_t announced = 0);
    // Writes the bytes as the write mode says; with an echoing line, reads back and drops the
    // echo of every byte.
    bool Write(const std::uint8_t* bytes, std::size_t length, SentKind kind);
    bool DropStaleInput();

    // Reads what is already waiting, tracing each byte and handing it to `take` with the time it
    // was read, which returns true to stop there; false when the port failed.
    template <typename Take>
    bool TakeWaitingInput(const Take& take) {
        std::array<std::uint8_t, 256> buffer{};
        // Bounded, so that a line full of noise still lets the transmission go.
        for (int reads = 0; reads < session::kMaxStaleReads; ++reads) {
            std::size_t received = 0;
            const LineReadResult read = m_line.Read(buffer.data(), buffer.size(), 0, received);
            if (read == LineReadResult::Failed) {
                return FailPort(PortAction::Read);
            }
            if (read == LineReadResult::TimedOut || received == 0) {
                return true;
            }
            const std::int64_t arrivedMs = m_clock.NowMs();
            for (std::size_t i = 0; i < received; ++i) {
                m_observer.OnReceived(buffer[i], m_baudRate, false);
                if (take(buffer[i], arrivedMs)) {
                    return true;
                }
            }
        }
        return true;
    }

    bool DropEcho(std::size_t count);
    // The next byte by the deadline, traced.
    Wait WaitAnswer(std::int64_t deadline, std::uint8_t& answer);
    // Next byte from the line by the deadline, waking now and then to notice a stop request.
    Wait NextByte(std::int64_t deadline, std::uint8_t& byte);
    // A pause that a stop request cuts short.
    bool Pause(int ms);

    IUpgradeLine& m_line;
    IUpgradeClock& m_clock;
    IUpgradeObserver& m_observer;
    const std::atomic<bool>& m_stop;
    const UpgradeSessionOptions& m_options;
    UpgradeResult m_result;
    std::deque<std::uint8_t> m_pending;   // bytes of one read, all taken from the line at once
    std::int64_t m_pendingArrivedMs = 0;  // when the read that brought them returned
    std::int64_t m_writeBeganMs = 0;      // when the last Write began handing bytes to the port
    std::int32_t m_baudRate = 0;
    bool m_open = false;
};
