#include "upgrade_session.h"

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

#include "head_answer.h"
#include "line_timing.h"
#include "pelco_command.h"
#include "session_line.h"
#include "transfer_rules.h"
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
class SessionRun : private CSessionLine {
  public:
    SessionRun(IUpgradeLine& line, IUpgradeClock& clock, IUpgradeObserver& observer,
               const std::atomic<bool>& stop, const UpgradeSessionOptions& options)
        : CSessionLine(line, clock, observer, stop, options) {}

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
        if (!Pause(pause - line::kPortClosedMs)) {
            return false;
        }
        CloseLine();
        m_observer.OnSwitched(m_options.controlBaudRate);
        return Pause(line::kPortClosedMs);
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

    // The bytes of the frame `cursor` names, and what traces say of it.
    static void BuildFrame(const std::vector<std::uint8_t>& image, const FrameCursor& cursor,
                           FrameBuffer& bytes, FrameInfo& frame) {
        FillUpgradeFrame(image.data() + cursor.offset, cursor, bytes);
        frame.index = cursor.index;
        frame.imageOffset = cursor.offset;
        frame.imageBytes = cursor.blockLen;
        frame.loadAddress = cursor.LoadAddress();
        frame.lastBlock = cursor.MarkedLast();
        frame.sum = UpgradeFrameChecksum(bytes);
        frame.attempt = cursor.attempt;
    }

    void NoteFrameReached(const FrameCursor& cursor, int sendings) {
        m_result.frameReached = cursor.index;
        m_result.fillFrame = cursor.role == FrameRole::Fill;
        m_result.loadAddress = cursor.LoadAddress();
        m_result.attempts = sendings;
    }

    void Accept(const FrameInfo& frame, UpgradeProgress& progress) {
        ++progress.framesAccepted;
        progress.imageBytesDone = frame.imageOffset + frame.imageBytes;
        m_result.framesAccepted = progress.framesAccepted;
        m_observer.OnFrameAccepted(frame, progress);
    }

    void SendImage(const std::vector<std::uint8_t>& image) {
        const auto imageSize = static_cast<std::int32_t>(image.size());
        UpgradeProgress progress;
        progress.imageSize = imageSize;
        progress.framesTotal = m_result.framesTotal;
        progress.bytesTotal = AnnouncedTransferBytes(progress.imageSize);
        FrameBuffer bytes{};
        FrameInfo frame;
        FrameCursor cursor = FrameAt(0, imageSize);
        for (;;) {
            BuildFrame(image, cursor, bytes, frame);
            NoteFrameReached(cursor, cursor.attempt + 1);
            FrameStep step = FrameStep::KeepWaiting;
            if (!SendFrame(bytes, frame, cursor, step)) {
                return;
            }
            const auto length = static_cast<std::int64_t>(bytes.size());
            (cursor.attempt == 0 && cursor.role != FrameRole::Fill ? progress.bytesSent
                                                                   : progress.bytesExtra) += length;
            if (step == FrameStep::KeepWaiting && !AwaitFrameAnswer(cursor, step)) {
                return;
            }
            if (!Follow(step, frame, cursor, progress, imageSize)) {
                return;
            }
        }
    }

    // Acts on what the head's answer means: true to go on with the frame `cursor` now names
    // (the next, or the same again), false when the transfer has ended (the result says how).
    bool Follow(FrameStep step, FrameInfo& frame, FrameCursor& cursor, UpgradeProgress& progress,
                std::int32_t imageSize) {
        switch (step) {
            case FrameStep::NextFrame:
            case FrameStep::SendFill:
                Accept(frame, progress);
                cursor = FrameAfter(cursor, imageSize);
                NoteFrameReached(cursor, 0);  // a stop in the pause is before it
                return Pause(m_options.ackDelayMs);
            case FrameStep::Resend:
                ++m_result.resends;
                cursor = ResendOf(cursor);
                frame.attempt = cursor.attempt;
                m_observer.OnResent(frame, m_result.answer);
                return true;
            case FrameStep::Complete:
                if (cursor.role != FrameRole::Fill) {
                    Accept(frame, progress);
                }
                return false;
            case FrameStep::TooManyChecksumErrors:
                ++m_result.resends;
                return Fail(UpgradeStatus::TooManyChecksumErrors);
            case FrameStep::CompleteTooEarly:
                return Fail(UpgradeStatus::CompleteTooEarly);
            case FrameStep::EndNotConfirmed:
                return Fail(UpgradeStatus::EndNotConfirmed);
            case FrameStep::HeadFailed:
                return Fail(UpgradeStatus::HeadFailed);
            case FrameStep::HeadTimedOut:
            case FrameStep::KeepWaiting:
                break;
        }
        return Fail(UpgradeStatus::HeadTimedOut);
    }

    // Sends a frame with its last byte in a write of its own, noting when its writes began. What
    // the head said before that byte was handed to the port cannot answer the whole frame: a
    // "complete" among it ends the transfer as too early, as do the head's own failure answers
    // (`early` says which).
    bool SendFrame(const FrameBuffer& bytes, const FrameInfo& frame, const FrameCursor& cursor,
                   FrameStep& early) {
        const std::size_t head = bytes.size() - 1;
        m_handOver = FrameHandOver{};
        m_handOver.bytes = bytes.size();
        m_handOver.baudRate = m_baudRate;
        if (!Send(SentKind::Frame, bytes.data(), head, &frame, bytes.size())) {
            return false;
        }
        m_handOver.firstByteAt = At(m_writeBeganMs);
        if (!JudgeEarlyAnswers(cursor, early)) {
            return false;
        }
        if (early != FrameStep::KeepWaiting) {
            return true;
        }
        if (!Write(bytes.data() + head, 1, SentKind::Frame)) {
            return false;
        }
        m_handOver.lastByteAt = At(m_writeBeganMs);
        return true;
    }

    static FrameHandOver::Clock::time_point At(std::int64_t ms) {
        return FrameHandOver::Clock::time_point{std::chrono::milliseconds{ms}};
    }

    // What a byte that arrived at `arrivedMs` means for the frame on the line: it answers the
    // frame only if the wire allows it, so a duplicate or stale answer releases and rewinds
    // nothing. Bytes that mean nothing are kept for the report.
    FrameStep Judge(std::uint8_t byte, std::int64_t arrivedMs, const FrameCursor& cursor) {
        FrameOnLine onLine;
        onLine.role = cursor.role;
        onLine.attempt = cursor.attempt;
        onLine.wholeFrameOut = WholeFrameCouldBeOut(m_handOver, At(arrivedMs));
        const FrameStep step = DecideFrameStep(byte, onLine, m_options.retries);
        if (step == FrameStep::KeepWaiting) {
            NoteStray(byte);
        } else {
            m_result.answered = true;
            m_result.answer = byte;
        }
        return step;
    }

    bool JudgeEarlyAnswers(const FrameCursor& cursor, FrameStep& early) {
        early = FrameStep::KeepWaiting;
        // Bytes an echoing line brought in behind the echo come first (already traced).
        while (!m_pending.empty()) {
            const std::uint8_t byte = m_pending.front();
            m_pending.pop_front();
            early = Judge(byte, m_pendingArrivedMs, cursor);
            if (early != FrameStep::KeepWaiting) {
                return true;
            }
        }
        return TakeWaitingInput([&](std::uint8_t byte, std::int64_t arrivedMs) {
            early = Judge(byte, arrivedMs, cursor);
            return early != FrameStep::KeepWaiting;
        });
    }

    // Waits for the first byte that is an answer to a frame and decides on it; false when the
    // session ends without one (the result says why).
    bool AwaitFrameAnswer(const FrameCursor& cursor, FrameStep& step) {
        ForgetStray();
        m_result.answered = false;
        // The time limit runs from when the frame can have crossed the wire: a write may return
        // as soon as its bytes are buffered.
        const auto frameOut = std::chrono::ceil<std::chrono::milliseconds>(
            m_handOver.firstByteAt.time_since_epoch() +
            line::WireTime(m_handOver.bytes, m_handOver.baudRate));
        const std::int64_t deadline =
            std::max(m_clock.NowMs(), std::int64_t{frameOut.count()}) + m_options.answerTimeoutMs;
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
            step = Judge(answer, m_pendingArrivedMs, cursor);
            if (step != FrameStep::KeepWaiting) {
                return true;
            }
        }
    }

    FrameHandOver m_handOver;  // of the frame on the line
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
