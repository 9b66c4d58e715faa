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
        case UpgradeStatus::LineEchoes:
            return "line echoes";
        case UpgradeStatus::HeadFailed:
            return "upgrade failed";
        case UpgradeStatus::CompleteTooEarly:
            return "upgrade incomplete";
        case UpgradeStatus::HeadTimedOut:
            return "head timed out";
        case UpgradeStatus::NoAnswer:
            return "no answer";
        case UpgradeStatus::NoEcho:
            return "no echo";
        case UpgradeStatus::EndNotConfirmed:
            return "end not confirmed";
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

// One run of the dialog with one head; lives only inside CUpgradeSession::Run.
class SessionRun {
  public:
    SessionRun(IUpgradeLine& line, IUpgradeClock& clock, IUpgradeObserver& observer,
               const std::atomic<bool>& stop, const UpgradeSessionOptions& options)
        : m_line(line), m_clock(clock), m_observer(observer), m_stop(stop), m_options(options) {
        m_result.answerTimeoutMs = options.answerTimeoutMs;
    }

    UpgradeResult Execute(const std::vector<std::uint8_t>& image) {
        m_result.framesTotal = FrameCount(static_cast<std::int64_t>(image.size()));
        if (image.empty() || CheckImageSize(static_cast<std::int64_t>(image.size()))) {
            Fail(UpgradeStatus::ImageUnreadable);
            return Finish();
        }
        if (m_options.switchMode && !SwitchToUpgradeMode()) {
            return Finish();
        }
        m_result.stage = SessionStage::ConnectionCheck;
        if (!OpenLine(kTransferBaudRate) || !CheckConnection()) {
            return Finish();
        }
        m_result.stage = SessionStage::Frames;
        SendImage(image);
        return Finish();
    }

  private:
    // Outcome of waiting for one byte.
    enum class Wait { Byte, TimedOut, Failed, Stopped };

    bool Fail(UpgradeStatus status) {
        m_result.status = status;
        return false;
    }

    bool FailPort(PortAction action) {
        m_result.portAction = action;
        m_result.portError = m_line.LastError();
        return Fail(UpgradeStatus::PortFailed);
    }

    bool Stopped() { return Fail(UpgradeStatus::Stopped); }

    UpgradeResult Finish() {
        if (m_open) {
            m_line.Close();
            m_open = false;
        }
        m_result.baudRate = m_baudRate;
        return m_result;
    }

    bool OpenLine(std::int32_t baudRate) {
        if (m_stop.load()) {
            return Stopped();
        }
        m_baudRate = baudRate;
        // An echoing two-wire line returns every sent XON/XOFF character, which would stop our
        // own transmitter: flow control stays off there.
        if (!m_line.Open(baudRate, !m_options.echo)) {
            return FailPort(PortAction::Open);
        }
        m_open = true;
        m_pending.clear();
        return true;
    }

    void CloseLine() {
        m_line.Close();
        m_open = false;
    }

    // The head needs time to enter upgrade mode; the window program gives it half a second on
    // the open port and half a second with the port closed.
    bool SwitchToUpgradeMode() {
        if (!OpenLine(m_options.controlBaudRate)) {
            return false;
        }
        const std::vector<std::uint8_t> command =
            BuildUpgradeModeCommand(m_options.address, m_options.protocolIndex);
        if (!Send(SentKind::Command, command.data(), command.size(), nullptr)) {
            return false;
        }
        const int pause = std::max(m_options.switchPauseMs, session::kMinSwitchPauseMs);
        if (!Pause(pause - session::kPortClosedMs)) {
            return false;
        }
        CloseLine();
        m_observer.OnSwitched(m_options.controlBaudRate);
        return Pause(session::kPortClosedMs);
    }

    void NoteStray(std::uint8_t byte) {
        if (m_result.strayBytes.size() < session::kMaxStrayBytesKept) {
            m_result.strayBytes.push_back(byte);
        }
        ++m_result.strayCount;
    }

    void ForgetStray() {
        m_result.strayBytes.clear();
        m_result.strayCount = 0;
    }

    bool CheckConnection() {
        const std::array<std::uint8_t, 2> check{kConnectionCheckByte, kConnectionCheckByte};
        for (int tries = 1; tries <= session::kConnectTries; ++tries) {
            m_result.connectTries = tries;
            ForgetStray();
            if (!Send(SentKind::ConnectionCheck, check.data(), check.size(), nullptr)) {
                return false;
            }
            const std::int64_t deadline = m_clock.NowMs() + m_options.answerTimeoutMs;
            std::uint8_t answer = 0;
            std::size_t received = 0;
            std::size_t echoed = 0;  // leading bytes that are our own check coming back
            for (;;) {
                const Wait wait = WaitAnswer(deadline, answer);
                if (wait == Wait::TimedOut) {
                    break;
                }
                if (wait != Wait::Byte) {
                    return wait == Wait::Stopped ? Stopped() : FailPort(PortAction::Read);
                }
                if (received++ == echoed && answer == kConnectionCheckByte) {
                    ++echoed;
                }
                if (!m_options.echo && echoed == check.size()) {
                    // Read as answers, the echo of the frames would pass for 0x82 and 0x84,
                    // and an echoed XOFF would stop our output.
                    return Fail(UpgradeStatus::LineEchoes);
                }
                if (ClassifyAnswer(answer) == AnswerAction::Connected) {
                    m_observer.OnConnected(tries);
                    ForgetStray();
                    return true;
                }
                NoteStray(answer);  // only 0x80 means anything before the frames
            }
        }
        return Fail(UpgradeStatus::NoConnection);
    }

    // The frame for the image bytes at `offset`; at the end of the image, the fill frame.
    void BuildFrame(const std::vector<std::uint8_t>& image, std::int64_t offset, std::int64_t index,
                    FrameBuffer& bytes, FrameInfo& frame, FrameRole& role) {
        const auto size = static_cast<std::int64_t>(image.size());
        const auto block = static_cast<std::int64_t>(frame::kBlockSize);
        const std::int64_t count = std::min(block, size - offset);
        FillUpgradeFrame(image.data() + offset, static_cast<std::size_t>(count),
                         static_cast<std::int32_t>(offset), static_cast<std::int32_t>(size), bytes);
        frame.index = index;
        frame.imageOffset = offset;
        frame.imageBytes = static_cast<std::int32_t>(count);
        frame.loadAddress = static_cast<std::uint32_t>(offset) + frame::kLoadAddressBase;
        frame.lastBlock = bytes[frame::kLastBlockAt] != 0;
        frame.sum = UpgradeFrameChecksum(bytes);
        frame.attempt = 0;
        role = count == 0 ? FrameRole::Fill
                          : (frame.lastBlock ? FrameRole::LastBlock : FrameRole::Block);
    }

    void Accept(const FrameInfo& frame, UpgradeProgress& progress) {
        ++progress.framesAccepted;
        progress.imageBytesDone = frame.imageOffset + frame.imageBytes;
        m_result.framesAccepted = progress.framesAccepted;
        m_observer.OnFrameAccepted(frame, progress);
    }

    void SendImage(const std::vector<std::uint8_t>& image) {
        UpgradeProgress progress;
        progress.imageSize = static_cast<std::int64_t>(image.size());
        progress.framesTotal = m_result.framesTotal;
        progress.bytesTotal = AnnouncedTransferBytes(progress.imageSize);
        FrameBuffer bytes{};
        FrameInfo frame;
        FrameRole role = FrameRole::Block;
        BuildFrame(image, 0, 0, bytes, frame, role);
        for (;;) {
            m_result.frameReached = frame.index;
            m_result.fillFrame = role == FrameRole::Fill;
            m_result.loadAddress = frame.loadAddress;
            m_result.attempts = frame.attempt + 1;
            if (!Send(SentKind::Frame, bytes.data(), bytes.size(), &frame)) {
                return;
            }
            const auto length = static_cast<std::int64_t>(bytes.size());
            (frame.attempt == 0 && role != FrameRole::Fill ? progress.bytesSent
                                                           : progress.bytesExtra) += length;
            FrameStep step = FrameStep::KeepWaiting;
            if (!AwaitFrameAnswer(role, frame.attempt, step)) {
                return;
            }
            switch (step) {
                case FrameStep::NextFrame:
                case FrameStep::SendFill:
                    Accept(frame, progress);
                    BuildFrame(image, frame.imageOffset + frame.imageBytes, frame.index + 1, bytes,
                               frame, role);
                    m_result.frameReached = frame.index;  // a stop in the pause is before it
                    m_result.fillFrame = role == FrameRole::Fill;
                    m_result.loadAddress = frame.loadAddress;
                    m_result.attempts = 0;
                    if (!Pause(m_options.ackDelayMs)) {
                        return;
                    }
                    break;
                case FrameStep::Resend:
                    ++m_result.resends;
                    ++frame.attempt;
                    m_observer.OnResent(frame, m_result.answer);
                    break;
                case FrameStep::Complete:
                    if (role != FrameRole::Fill) {
                        Accept(frame, progress);
                    }
                    return;
                case FrameStep::TooManyChecksumErrors:
                    ++m_result.resends;
                    Fail(UpgradeStatus::TooManyChecksumErrors);
                    return;
                case FrameStep::CompleteTooEarly:
                    Fail(UpgradeStatus::CompleteTooEarly);
                    return;
                case FrameStep::EndNotConfirmed:
                    Fail(UpgradeStatus::EndNotConfirmed);
                    return;
                case FrameStep::HeadFailed:
                    Fail(UpgradeStatus::HeadFailed);
                    return;
                case FrameStep::HeadTimedOut:
                case FrameStep::KeepWaiting:
                    Fail(UpgradeStatus::HeadTimedOut);
                    return;
            }
        }
    }

    // Waits for the first byte that is an answer to a frame and decides on it; false when the
    // session ends without one (the result says why).
    bool AwaitFrameAnswer(FrameRole role, int attempt, FrameStep& step) {
        ForgetStray();
        m_result.answered = false;
        const std::int64_t deadline = m_clock.NowMs() + m_options.answerTimeoutMs;
        for (;;) {
            std::uint8_t answer = 0;
            const Wait wait = WaitAnswer(deadline, answer);
            if (wait == Wait::Stopped) {
                return Stopped();
            }
            if (wait == Wait::Failed) {
                return FailPort(PortAction::Read);
            }
            if (wait == Wait::TimedOut) {
                return Fail(UpgradeStatus::NoAnswer);
            }
            step = DecideFrameStep(answer, role, attempt, m_options.retries);
            if (step != FrameStep::KeepWaiting) {
                m_result.answered = true;
                m_result.answer = answer;
                return true;
            }
            NoteStray(answer);
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
        // Only frames go byte by byte: gaps inside the command at the control speed would look
        // like its end to a head.
        if (m_options.writeMode == WriteMode::Byte && kind == SentKind::Frame) {
            piece = 1;
        } else if (m_options.echo) {
            // The echo of a whole frame would overrun a small receive queue: read it as we go.
            piece = std::min(piece, session::kEchoChunk);
        }
        for (std::size_t at = 0; at < length; at += piece) {
            const std::size_t count = std::min(piece, length - at);
            if (!m_line.Write(bytes + at, count)) {
                return FailPort(PortAction::Write);
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
                return FailPort(PortAction::Read);
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
                return FailPort(PortAction::Read);
            }
            if (wait == Wait::TimedOut) {
                return Fail(UpgradeStatus::NoEcho);
            }
            m_observer.OnReceived(byte, m_baudRate, true);
        }
        return true;
    }

    Wait WaitAnswer(std::int64_t deadline, std::uint8_t& answer) {
        const Wait wait = NextByte(deadline, answer);
        if (wait == Wait::Byte) {
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
        return Wait::Byte;
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

UpgradeResult CUpgradeSession::Run(const UpgradeSessionOptions& options,
                                   const std::vector<std::uint8_t>& image) {
    SessionRun run(m_line, m_clock, m_observer, m_stop, options);
    UpgradeResult result = run.Execute(image);
    m_observer.OnResult(result);
    return result;
}
