// One head's whole upgrade over one line, step by step with host-side time limits: the
// upgrade-mode command at the control speed, the connection check at the transfer speed, then
// the image frame by frame, acting on each answer of the head.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "line_timing.h"
#include "serial_link.h"
#include "upgrade_line.h"

namespace session {
// After the command, before the port is closed, and closed before it opens at the transfer speed.
constexpr int kMinSwitchPauseMs = line::kSwitchSettleMs + line::kPortClosedMs;
constexpr int kConnectTries = 3;  // connection checks sent before giving up
constexpr int kStopPollMs = 100;  // longest wait before a stop request is noticed
constexpr int kDefaultAnswerTimeoutMs = 10000;
constexpr int kDefaultRetries = 3;
constexpr int kDefaultAckDelayMs = line::kAckPauseMs;  // after an accepted frame
constexpr std::size_t kEchoChunk = 1024;        // bytes written before their echo is read back
constexpr int kMaxStaleReads = 16;              // reads of unasked input dropped before a send
constexpr std::size_t kMaxStrayBytesKept = 16;  // bytes outside the answer table kept for reports
}  // namespace session

enum class WriteMode { Frame, Byte };

struct UpgradeSessionOptions {
    std::uint8_t address = 1;
    std::uint8_t protocolIndex = 1;  // PELCO_D
    std::int32_t controlBaudRate = 2400;
    bool switchMode = true;  // false: the head is already in upgrade mode
    // From the upgrade-mode command to the connection check; the last line::kPortClosedMs of it
    // with the port closed. Never less than kMinSwitchPauseMs.
    int switchPauseMs = session::kMinSwitchPauseMs;
    int answerTimeoutMs = session::kDefaultAnswerTimeoutMs;
    int retries = session::kDefaultRetries;
    int ackDelayMs = session::kDefaultAckDelayMs;
    WriteMode writeMode = WriteMode::Frame;
    bool echo = false;
};

enum class UpgradeStatus {
    Done,              // the head answered 0x84 to the last frame (or the fill frame)
    PortFailed,        // the port could not be opened or configured, or failed while in use
    NoConnection,      // no 0x80 to the connection check
    LineEchoes,        // the line returns what is sent, and --echo was not given
    HeadFailed,        // 0x86
    CompleteTooEarly,  // 0x84 while image frames remained
    HeadTimedOut,      // 0x87
    NoAnswer,          // nothing the loader acts on within the answer time limit
    NoEcho,            // echo expected, none came
    EndNotConfirmed,   // the fill frame was accepted with 0x82, never 0x84
    TooManyChecksumErrors,
    ImageUnreadable,
    Stopped,  // the operator asked to stop
};

// Where the session was when it ended.
enum class SessionStage { Command, ConnectionCheck, Frames };

// What the port was asked to do when it failed.
enum class PortAction { None, Open, Write, Read };

// What was sent, for traces: the bytes and what they are.
enum class SentKind { Command, ConnectionCheck, Frame };

struct FrameInfo {
    std::int64_t index = 0;  // 0 for the first frame
    std::uint32_t loadAddress = 0;
    bool lastBlock = false;
    std::uint32_t sum = 0;         // the 24-bit sum the frame carries
    std::int32_t imageBytes = 0;   // image bytes in the frame (the rest is fill)
    std::int64_t imageOffset = 0;  // offset of its block in the image
    int attempt = 0;               // 0 first sending, 1.. resends
};

struct UpgradeProgress {
    std::int64_t framesAccepted = 0;  // never more than framesTotal
    std::int64_t framesTotal = 0;
    std::int64_t bytesSent = 0;   // bytes of frames sent once, never more than bytesTotal
    std::int64_t bytesExtra = 0;  // resends and the fill frame, counted apart
    std::int64_t bytesTotal = 0;  // bytes of one clean transfer
    std::int64_t imageBytesDone = 0;
    std::int64_t imageSize = 0;
};

// What happened, for the caller to word and to judge; the session itself words nothing.
struct UpgradeResult {
    UpgradeStatus status = UpgradeStatus::Done;
    SessionStage stage = SessionStage::Command;
    PortAction portAction = PortAction::None;  // set with PortFailed
    PortError portError;                       // set with PortFailed
    std::int32_t baudRate = 0;                 // line speed when it ended
    std::int64_t frameReached = -1;  // the frame being sent or awaited (-1: before the frames)
    bool fillFrame = false;          // frameReached is the fill frame after the last block
    std::uint32_t loadAddress = 0;   // of frameReached
    int attempts = 0;                // sendings of frameReached
    std::int64_t framesAccepted = 0;
    std::int64_t framesTotal = 0;
    bool answered = false;                 // `answer` is the byte that ended the session
    std::uint8_t answer = 0;               // the head's last answer
    std::vector<std::uint8_t> strayBytes;  // bytes outside the answer table in the last wait
    std::size_t strayCount = 0;            // all of them; only the first few are kept
    int connectTries = 0;
    int answerTimeoutMs = 0;
    int resends = 0;
};

class IUpgradeObserver {
  public:
    virtual ~IUpgradeObserver() = default;
    virtual void OnSent(SentKind /*kind*/, const std::uint8_t* /*bytes*/, std::size_t /*length*/,
                        std::int32_t /*baudRate*/, const FrameInfo* /*frame*/) {}
    // Every byte taken from the line; `echo` when it is the echo of a sent byte.
    virtual void OnReceived(std::uint8_t /*byte*/, std::int32_t /*baudRate*/, bool /*echo*/) {}
    virtual void OnSwitched(std::int32_t /*baudRate*/) {}
    virtual void OnConnected(int /*tries*/) {}
    virtual void OnFrameAccepted(const FrameInfo& /*frame*/, const UpgradeProgress& /*progress*/) {}
    virtual void OnResent(const FrameInfo& /*frame*/, std::uint8_t /*answer*/) {}
    virtual void OnResult(const UpgradeResult& /*result*/) {}
};

class CUpgradeSession {
  public:
    CUpgradeSession(IUpgradeLine& line, IUpgradeClock& clock, IUpgradeObserver& observer,
                    const std::atomic<bool>& stopRequested);

    // Upgrades one head with the image, read whole beforehand so that no change of the file can
    // reach the line. Closes the line before it returns, whatever happened.
    UpgradeResult Run(const UpgradeSessionOptions& options, const std::vector<std::uint8_t>& image);

  private:
    IUpgradeLine& m_line;
    IUpgradeClock& m_clock;
    IUpgradeObserver& m_observer;
    const std::atomic<bool>& m_stop;
};

// Short English name of a status ("upgrade complete", "no connection", ...).
const char* DescribeStatus(UpgradeStatus status);
