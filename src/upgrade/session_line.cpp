#include "session_line.h"

#include <algorithm>

bool CSessionLine::Fail(UpgradeStatus status) {
    m_result.status = status;
    return false;
}

bool CSessionLine::FailPort(PortAction action) {
    m_result.portAction = action;
    m_result.portError = m_line.LastError();
    return Fail(UpgradeStatus::PortFailed);
}

bool CSessionLine::Stopped() {
    return Fail(UpgradeStatus::Stopped);
}

UpgradeResult CSessionLine::Finish() {
    if (m_open) {
        m_line.Close();
        m_open = false;
    }
    m_result.baudRate = m_baudRate;
    return m_result;
}

bool CSessionLine::OpenLine(std::int32_t baudRate) {
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

void CSessionLine::CloseLine() {
    m_line.Close();
    m_open = false;
}

void CSessionLine::NoteStray(std::uint8_t byte) {
    if (m_result.strayBytes.size() < session::kMaxStrayBytesKept) {
        m_result.strayBytes.push_back(byte);
    }
    ++m_result.strayCount;
}

void CSessionLine::ForgetStray() {
    m_result.strayBytes.clear();
    m_result.strayCount = 0;
}

bool CSessionLine::Send(SentKind kind, const std::uint8_t* bytes, std::size_t length,
                        const FrameInfo* frame, std::size_t announced) {
    if (m_stop.load()) {
        return Stopped();
    }
    if (!DropStaleInput()) {
        return false;
    }
    m_observer.OnSent(kind, bytes, announced == 0 ? length : announced, m_baudRate, frame);
    return Write(bytes, length, kind);
}

bool CSessionLine::Write(const std::uint8_t* bytes, std::size_t length, SentKind kind) {
    m_writeBeganMs = m_clock.NowMs();
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

bool CSessionLine::DropStaleInput() {
    m_pending.clear();
    return TakeWaitingInput(
        [](std::uint8_t /*byte*/, std::int64_t /*arrivedMs*/) { return false; });
}

bool CSessionLine::DropEcho(std::size_t count) {
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

CSessionLine::Wait CSessionLine::WaitAnswer(std::int64_t deadline, std::uint8_t& answer) {
    const Wait wait = NextByte(deadline, answer);
    if (wait == Wait::Byte) {
        m_observer.OnReceived(answer, m_baudRate, false);
    }
    return wait;
}

CSessionLine::Wait CSessionLine::NextByte(std::int64_t deadline, std::uint8_t& byte) {
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
        m_pendingArrivedMs = m_clock.NowMs();
    }
    byte = m_pending.front();
    m_pending.pop_front();
    return Wait::Byte;
}

bool CSessionLine::Pause(int ms) {
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
