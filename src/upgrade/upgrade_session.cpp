#include "upgrade_session.h"

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

#include "head_answer.h"
#include "pelco_command.h"
#include "upgrade_frame.h"

const char* DescribeStatus(UpgradeStatus status) {
    switch (status) {
        case UpgradeStatus::Done:
            return "upgrade complete";
        case UpgradeStatus::PortFailed:
            return "port failure";
        case UpgradeStatus::NoConnection:
            return "no connection";
        case UpgradeStatus::HeadFailed:
            return "upgrade failed";
        case UpgradeStatus::HeadTimedOut:
            return "head timed out";
        case UpgradeStatus::NoAnswer:
            return "no answer";
        case UpgradeStatus::TooManyChecksumErrors:
            return "too many checksum errors";
        case UpgradeStatus::ImageUnreadable:
            return "image unreadable";
        case UpgradeStatus::Stopped:
            return "stopped";
    }
    return "unknown";
}

namespace {

std::string Hex32(std::uint32_t value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%08x", value);
    return text.data();
}

std::string Seconds(int ms) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g s", ms / 1000.0);
    return text.data();
}

// One run of the dialog with one head; lives only inside CUpgradeSession::Run.
class SessionRun {
  public:
    SessionRun(IUpgradeLine& line, IUpgradeClock& clock, IUpgradeObserver& observer,
               const std::atomic<bool>& stop, const UpgradeSessionOptions& options)
        : m_line(line), m_clock(clock), m_observer(observer), m_stop(stop), m_options(options) {}

    UpgradeResult Execute(std::FILE* image, std::int64_t imageSize) {
        if (m_options.switchMode && !SwitchToUpgradeMode()) {
            return Finish();
        }
        if (!OpenLine(kTransferBaudRate, "for the transfer") || !CheckConnection()) {
            return Finish();
        }
        SendImage(image, imageSize);
        return Finish();
    }

  private:
    // Outcome of waiting for one answer byte the loader acts on.
    enum class Wait { Answer, TimedOut, Failed, Stopped };

    bool Fail(UpgradeStatus status, std::string message) {
        m_result.status = status;
        m_result.message = std::move(message);
        return false;
    }

    bool FailPort(const std::string& what) {
        m_result.portError = m_line.LastError();
        std::string message = "Failed to " + what;
        if (!m_result.portError.message.empty()) {
            message += ": " + m_result.portError.message;
        }
        return Fail(UpgradeStatus::PortFailed, message);
    }

    bool Stopped() { return Fail(UpgradeStatus::Stopped, "stopped on request"); }

    UpgradeResult Finish() {
        if (m_open) {
            m_line.Close();
            m_open = false;
        }
        m_result.baudRate = m_baudRate;
        return m_result;
    }

    bool OpenLine(std::int32_t baudRate, const char* phase) {
        if (m_stop.load()) {
            return Stopped();
        }
        // An echoing two-wire line returns every sent XON/XOFF character, which would stop our
        // own transmitter: flow control stays off there.
        if (!m_line.Open(baudRate, !m_options.echo)) {
            return FailPort("open the port at " + std::to_string(baudRate) + " bit/s " + phase);
        }
        m_open = true;
        m_baudRate = baudRate;
        m_pending.clear();
        return true;
    }

    void CloseLine() {
        m_line.Close();
        m_open = false;
    }

    bool SwitchToUpgradeMode() {
        if (!OpenLine(m_options.controlBaudRate, "for the upgrade-mode command")) {
            return false;
        }
        const std::vector<std::uint8_t> command =
            BuildUpgradeModeCommand(m_options.address, m_options.protocolIndex);
        if (!Send(SentKind::Command, command.data(), command.size(), nullptr)) {
            return false;
        }
        if (!Pause(session::kSwitchSettleMs)) {
            return false;
        }
        CloseLine();
        m_observer.OnSwitched(m_options.controlBaudRate);
        return true;
    }

    bool CheckConnection() {
        const std::array<std::uint8_t, 2> check{kConnectionCheckByte, kConnectionCheckByte};
        for (int tries = 1; tries <= session::kConnectTries; ++tries) {
            if (!Send(SentKind::ConnectionCheck, check.data(), check.size(), nullptr)) {
                return false;
            }
            const std::int64_t deadline = m_clock.NowMs() + m_options.answerTimeoutMs;
            std::uint8_t answer = 0;
            std::size_t received = 0;
            std::size_t echoed = 0;  // leading bytes that are our own check coming back
            for (;;) {
                const Wait wait = WaitAnswer(deadline, answer);
                if (wait == Wait::Answer) {
                    if (received++ == echoed && answer == kConnectionCheckByte) {
                        ++echoed;
                    }
                    if (!m_options.echo && echoed == check.size()) {
                        // Read as answers, the echo of the frames would pass for 0x82 and 0x84,
                        // and an echoed XOFF would stop our output.
                        return Fail(UpgradeStatus::NoConnection,
                                    "the line echoes what is sent (a two-wire RS-485 adapter): "
                                    "run again with --echo");
                    }
                    if (ClassifyAnswer(answer) != AnswerAction::Connected) {
                        continue;  // only 0x80 means anything before the frames
                    }
                    m_observer.OnConnected(tries);
                    return true;
                }
                if (wait == Wait::TimedOut) {
                    break;
                }
                return wait == Wait::Stopped ? Stopped()
                                             : FailPort("read the answer to the connection check");
            }
        }
        return Fail(UpgradeStatus::NoConnection,
                    "no connection: the head did not answer the connection check (" +
                        std::to_string(session::kConnectTries) + " tries, " +
                        Seconds(m_options.answerTimeoutMs) +
                        " each); check the address, protocol and speed, the wiring, and that "
                        "the head is powered");
    }

    void SendImage(std::FILE* image, std::int64_t imageSize) {
        UpgradeProgress progress;
        progress.imageSize = imageSize;
        progress.framesTotal = FrameCount(imageSize);
        progress.bytesTotal = AnnouncedTransferBytes(imageSize);
        if (std::fseek(image, 0, SEEK_SET) != 0) {
            Fail(UpgradeStatus::ImageUnreadable, "Failed to rewind the image");
            return;
        }
        FrameBuffer frameBytes{};
        FrameInfo frame;
        std::int64_t offset = 0;
        bool needFrame = true;
        for (;;) {
            if (needFrame) {
                const FrameReadResult read =
                    BuildUpgradeFrame(image, static_cast<std::int32_t>(offset),
                                      static_cast<std::int32_t>(imageSize), frameBytes);
                if (!read.ok) {
                    Fail(UpgradeStatus::ImageUnreadable, read.error);
                    return;
                }
                frame.index = progress.framesAccepted;
                frame.imageOffset = offset;
                frame.imageBytes = read.imageBytes;
                frame.loadAddress = static_cast<std::uint32_t>(offset) + frame::kLoadAddressBase;
                frame.lastBlock = frameBytes[frame::kLastBlockAt] != 0;
                frame.sum = UpgradeFrameChecksum(frameBytes);
                frame.attempt = 0;
                needFrame = false;
            }
            m_result.frameReached = frame.index;
            if (!Send(SentKind::Frame, frameBytes.data(), frameBytes.size(), &frame)) {
                return;
            }
            progress.bytesSent += static_cast<std::int64_t>(frameBytes.size());

            std::uint8_t answer = 0;
            const AnswerAction action = AwaitFrameAnswer(frame, answer);
            switch (action) {
                case AnswerAction::NextFrame:
                    ++progress.framesAccepted;
                    offset += frame.imageBytes;
                    progress.imageBytesDone = offset;
                    m_observer.OnFrameAccepted(frame, progress);
                    if (frame.imageBytes == 0) {
                        // Nothing left to send; a head that keeps asking is not finishing.
                        Fail(UpgradeStatus::NoAnswer,
                             "the head accepted the end of the image (frame " +
                                 std::to_string(frame.index) +
                                 ") but never reported the upgrade complete");
                        return;
                    }
                    needFrame = true;
                    m_result.frameReached = frame.index + 1;  // a stop in the pause is before it
                    if (!Pause(m_options.ackDelayMs)) {
                        return;
                    }
                    break;
                case AnswerAction::ResendFrame:
                    ++m_result.resends;
                    if (frame.attempt >= m_options.retries) {
                        Fail(UpgradeStatus::TooManyChecksumErrors,
                             "the head reported a checksum error for frame " +
                                 std::to_string(frame.index) + " (load address " +
                                 Hex32(frame.loadAddress) + ") " +
                                 std::to_string(frame.attempt + 1) +
                                 " times; check the line (cable, termination, interference)");
                        return;
                    }
                    ++frame.attempt;
                    m_observer.OnResent(frame, answer);
                    break;
                case AnswerAction::Done:
                    ++progress.framesAccepted;
                    progress.imageBytesDone = std::min(offset + frame.imageBytes, imageSize);
                    m_observer.OnFrameAccepted(frame, progress);
                    return;
                case AnswerAction::Failed:
                    Fail(UpgradeStatus::HeadFailed,
                         "the head answered 0x86 (upgrade failed) to frame " +
                             std::to_string(frame.index));
                    return;
                case AnswerAction::HeadTimedOut:
                    Fail(UpgradeStatus::HeadTimedOut,
                         "the head answered 0x87 (upgrade timed out) to frame " +
                             std::to_string(frame.index));
                    return;
                default:
                    return;  // the failure is already recorded
            }
        }
    }

    // The head's answer to a frame; Ignore when the wait failed (the result says why).
    AnswerAction AwaitFrameAnswer(const FrameInfo& frame, std::uint8_t& answer) {
        const std::int64_t deadline = m_clock.NowMs() + m_options.answerTimeoutMs;
        for (;;) {
            const Wait wait = WaitAnswer(deadline, answer);
            if (wait == Wait::Stopped) {
                Stopped();
                return AnswerAction::Ignore;
            }
            if (wait == Wait::Failed) {
                FailPort("read the answer to frame " + std::to_string(frame.index));
                return AnswerAction::Ignore;
            }
            if (wait == Wait::TimedOut) {
                Fail(UpgradeStatus::NoAnswer, "no answer to frame " + std::to_string(frame.index) +
                                                  " (load address " + Hex32(frame.loadAddress) +
                                                  ") within " + Seconds(m_options.answerTimeoutMs));
                return AnswerAction::Ignore;
            }
            const AnswerAction action = ClassifyAnswer(answer);
            if (action != AnswerAction::Ignore && action != AnswerAction::Connected) {
                return action;
            }
        }
    }

    // Writes the bytes as the write mode says; with an echoing line, reads back and drops the
    // echo of every byte. Bytes that arrived unasked before it are dropped first, so that a
    // stray or late byte is never taken for the answer to what is sent now.
    bool Send(SentKind kind, const std::uint8_t* bytes, std::size_t length,
              const FrameInfo* frame) {
        if (m_stop.load()) {
            return Stopped();
        }
        if (!DropStaleInput()) {
            return false;
        }
        m_observer.OnSent(kind, bytes, length, m_baudRate, frame);
        std::size_t piece = length;
        if (m_options.writeMode == WriteMode::Byte) {
            piece = 1;
        } else if (m_options.echo) {
            // The echo of a whole frame would overrun a small receive queue: read it as we go.
            piece = session::kEchoChunk;
        }
        for (std::size_t at = 0; at < length; at += piece) {
            const std::size_t count = std::min(piece, length - at);
            if (!m_line.Write(bytes + at, count)) {
                return FailPort("write to the port");
            }
            if (m_options.echo && !DropEcho(count)) {
                return false;
            }
        }
        return true;
    }

    bool DropStaleInput() {
        m_pending.clear();
        std::array<std::uint8_t, 256> buffer{};
        // Bounded, so that a line full of noise still lets the transmission go.
        for (int reads = 0; reads < session::kMaxStaleReads; ++reads) {
            std::size_t received = 0;
            const LineReadResult read = m_line.Read(buffer.data(), buffer.size(), 0, received);
            if (read == LineReadResult::Failed) {
                return FailPort("read from the port");
            }
            if (read == LineReadResult::TimedOut || received == 0) {
                return true;
            }
            for (std::size_t i = 0; i < received; ++i) {
                m_observer.OnReceived(buffer[i], m_baudRate, false);
            }
        }
        return true;
    }

    bool DropEcho(std::size_t count) {
        const std::int64_t deadline = m_clock.NowMs() + m_options.answerTimeoutMs;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t byte = 0;
            const Wait wait = NextByte(deadline, byte);
            if (wait == Wait::Stopped) {
                return Stopped();
            }
            if (wait == Wait::Failed) {
                return FailPort("read the echo from the port");
            }
            if (wait == Wait::TimedOut) {
                return Fail(UpgradeStatus::NoAnswer,
                            "the line did not echo the bytes sent within " +
                                Seconds(m_options.answerTimeoutMs) +
                                "; leave out --echo unless the adapter echoes what it sends");
            }
            m_observer.OnReceived(byte, m_baudRate, true);
        }
        return true;
    }

    Wait WaitAnswer(std::int64_t deadline, std::uint8_t& answer) {
        const Wait wait = NextByte(deadline, answer);
        if (wait == Wait::Answer) {
            m_observer.OnReceived(answer, m_baudRate, false);
        }
        return wait;
    }

    // Next byte from the line by the deadline, waking now and then to notice a stop request.
    Wait NextByte(std::int64_t deadline, std::uint8_t& byte) {
        while (m_pending.empty()) {
            if (m_stop.load()) {
                return Wait::Stopped;
            }
            const std::int64_t left = deadline - m_clock.NowMs();
            if (left <= 0) {
                return Wait::TimedOut;
            }
            std::array<std::uint8_t, 256> buffer{};
            std::size_t received = 0;
            const int slice = static_cast<int>(std::min<std::int64_t>(left, session::kStopPollMs));
            const LineReadResult read = m_line.Read(buffer.data(), buffer.size(), slice, received);
            if (read == LineReadResult::Failed) {
                return Wait::Failed;
            }
            m_pending.insert(m_pending.end(), buffer.begin(),
                             buffer.begin() + static_cast<std::ptrdiff_t>(received));
        }
        byte = m_pending.front();
        m_pending.pop_front();
        return Wait::Answer;
    }

    // A pause that a stop request cuts short.
    bool Pause(int ms) {
        int left = ms;
        while (left > 0) {
            if (m_stop.load()) {
                return Stopped();
            }
            const int slice = std::min(left, session::kStopPollMs);
            m_clock.SleepMs(slice);
            left -= slice;
        }
        return !m_stop.load() || Stopped();
    }

    IUpgradeLine& m_line;
    IUpgradeClock& m_clock;
    IUpgradeObserver& m_observer;
    const std::atomic<bool>& m_stop;
    const UpgradeSessionOptions& m_options;
    UpgradeResult m_result;
    std::deque<std::uint8_t> m_pending;
    std::int32_t m_baudRate = 0;
    bool m_open = false;
};

}  // namespace

CUpgradeSession::CUpgradeSession(IUpgradeLine& line, IUpgradeClock& clock,
                                 IUpgradeObserver& observer, const std::atomic<bool>& stopRequested)
    : m_line(line), m_clock(clock), m_observer(observer), m_stop(stopRequested) {}

UpgradeResult CUpgradeSession::Run(const UpgradeSessionOptions& options, std::FILE* image,
                                   std::int64_t imageSize) {
    SessionRun run(m_line, m_clock, m_observer, m_stop, options);
    UpgradeResult result = run.Execute(image, imageSize);
    m_observer.OnResult(result);
    return result;
}
