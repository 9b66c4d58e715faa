#include "head_machine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "frame_decoder.h"

namespace {
constexpr int kTransferBaud = 115200;
constexpr std::uint8_t kConnectionCheck = 0x3F;  // sent twice
constexpr std::uint8_t kConnected = 0x80;
constexpr std::uint8_t kChecksumError81 = 0x81;
constexpr std::uint8_t kFrameAccepted = 0x82;
constexpr std::uint8_t kChecksumError83 = 0x83;
constexpr std::uint8_t kUpgradeComplete = 0x84;
constexpr std::uint8_t kUpgradeFailed = 0x86;
constexpr std::uint8_t kUpgradeTimedOut = 0x87;
constexpr std::uint8_t kNoise[2] = {0x00, 0x55};  // neither is an answer the loader acts on
// A head's receiver drops a half-received frame or command after the line has been quiet this
// long, so a loader that died mid-frame does not leave the head out of step for good.
constexpr std::int64_t kQuietResetMs = 1000;
// Ignored bytes quoted in the log, at most.
constexpr std::size_t kIgnoredQuoted = 64;

std::vector<int> AddressesOf(const HeadSimOptions& options) {
    std::vector<int> addresses = {options.address};
    addresses.insert(addresses.end(), options.moreAddresses.begin(), options.moreAddresses.end());
    return addresses;
}
}  // namespace

HeadMachine::HeadMachine(const HeadSimOptions& options, EventLog& log)
    : m_options(options),
      m_log(log),
      m_listener(options.pelcoP, AddressesOf(options), options.speed),
      m_notUpgraded(AddressesOf(options)) {
    m_summary.lastAddress = options.address;
    EnterStartMode();
}

void HeadMachine::EnterStartMode() {
    m_mode = m_options.noCommand ? Mode::Upgrade : Mode::Command;
    m_checkPending = false;
}

void HeadMachine::Step(std::uint8_t byte, int baud, std::int64_t nowMs,
                       std::vector<HeadAnswer>& answers) {
    const bool quietBefore = m_lastByteMs >= 0 && nowMs - m_lastByteMs > kQuietResetMs;
    m_lastByteMs = nowMs;
    if (quietBefore && m_mode == Mode::Frame) {
        m_log.Write(JsonLine("error")
                        .Add("message", "frame abandoned: the line was quiet for over a second")
                        .Add("index", m_nextBlock)
                        .Add("bytes", static_cast<std::int64_t>(m_frame.size())));
        Ignore(m_frame.data(), m_frame.size(), m_frameBaud, "incomplete frame");
        m_frame.clear();
        m_mode = Mode::Upgrade;
    }
    if (quietBefore) {
        m_checkPending = false;
    }
    switch (m_mode) {
        case Mode::Command:
            if (quietBefore && m_listener.Partial()) {
                std::vector<std::uint8_t> dropped;
                m_listener.Reset(dropped);
                Ignore(dropped.data(), dropped.size(), baud, "incomplete command");
            }
            StepCommand(byte, baud, nowMs);
            break;
        case Mode::Upgrade:
            StepUpgrade(byte, baud, answers);
            break;
        case Mode::Frame:
            StepFrame(byte, baud, answers);
            break;
    }
}

void HeadMachine::StepCommand(std::uint8_t byte, int baud, std::int64_t /*nowMs*/) {
    HeardCommand command;
    std::vector<std::uint8_t> discarded;
    const bool complete = m_listener.Feed(byte, baud, command, discarded);
    Ignore(discarded.data(), discarded.size(), baud, "not a command");
    if (!complete) {
        return;
    }
    FlushIgnored();
    const bool accepted = command.verdict == CommandVerdict::UpgradeForThisHead;
    m_log.Write(JsonLine("command")
                    .Add("bytes", HexBytes(command.bytes.data(), command.bytes.size()))
                    .Add("protocol", m_options.pelcoP ? "pelco-p" : "pelco-d")
                    .Add("address", command.address)
                    .Add("baud", command.baud)
                    .Add("accepted", accepted)
                    .Add("reason", VerdictName(command.verdict)));
    if (!accepted) {
        ++m_summary.commandsIgnored;
        return;
    }
    ++m_summary.commandsAccepted;
    m_summary.commandBaud = command.baud;
    m_summary.lastAddress = command.address;
    m_mode = Mode::Upgrade;
    m_checkPending = false;
}

void HeadMachine::StepUpgrade(std::uint8_t byte, int baud, std::vector<HeadAnswer>& answers) {
    // The head's receiver now runs at the transfer speed: anything sent at another speed
    // reaches it garbled, so it is lost.
    if (baud != kTransferBaud) {
        if (m_checkPending) {
            m_checkPending = false;
            Ignore(&kConnectionCheck, 1, kTransferBaud, "lone connection check byte");
        }
        Ignore(&byte, 1, baud, "not at 115200 bit/s");
        return;
    }
    if (byte == kConnectionCheck) {
        if (!m_checkPending) {
            m_checkPending = true;
            return;
        }
        m_checkPending = false;
        FlushIgnored();
        ++m_summary.connects;
        // A connection check opens a transfer: the head expects the first block next.
        m_nextBlock = 0;
        m_refusedLast = false;
        m_log.Write(JsonLine("connect").Add("baud", baud));
        Answer(kConnected, "connected", false, answers);
        return;
    }
    if (m_checkPending) {
        m_checkPending = false;
        Ignore(&kConnectionCheck, 1, baud, "lone connection check byte");
    }
    if (byte == headframe::kStartMark) {
        FlushIgnored();
        m_mode = Mode::Frame;
        m_frame.clear();
        m_frame.push_back(byte);
        m_frameBaud = baud;
        return;
    }
    Ignore(&byte, 1, baud, "between frames");
}

void HeadMachine::StepFrame(std::uint8_t byte, int baud, std::vector<HeadAnswer>& answers) {
    if (baud != kTransferBaud) {
        Ignore(&byte, 1, baud, "not at 115200 bit/s, inside a frame");
        return;
    }
    m_frame.push_back(byte);
    if (m_nextBlock == m_options.vanishAt && m_frame.size() == headframe::kFrameBytes / 2) {
        m_options.vanishAt = -1;
        m_vanish = true;
        m_log.Write(JsonLine("fault")
                        .Add("kind", "vanish")
                        .Add("index", m_nextBlock)
                        .Add("bytes", static_cast<std::int64_t>(m_frame.size())));
        return;
    }
    if (m_frame.size() == headframe::kFrameBytes) {
        FinishFrame(answers);
        m_frame.clear();
        if (m_mode == Mode::Frame) {
            m_mode = Mode::Upgrade;
        }
    }
}

bool HeadMachine::TakeFault(std::vector<int>& at, int index, const char* kind) {
    const auto found = std::find(at.begin(), at.end(), index);
    if (found == at.end()) {
        return false;
    }
    at.erase(found);
    m_log.Write(JsonLine("fault").Add("kind", kind).Add("index", index));
    return true;
}

void HeadMachine::FinishFrame(std::vector<HeadAnswer>& answers) {
    const DecodedFrame frame = DecodeFrame(m_frame.data());
    ++m_summary.framesReceived;
    m_summary.frameBaud = m_frameBaud;

    const std::uint32_t expected =
        headframe::kLoadBase + static_cast<std::uint32_t>(m_nextBlock) * headframe::kBlockBytes;
    const bool repeatOfLast =
        m_nextBlock > 0 && frame.loadAddress == expected - headframe::kBlockBytes;
    const int index = repeatOfLast ? m_nextBlock - 1 : m_nextBlock;
    m_log.Write(JsonLine("frame")
                    .Add("index", index)
                    .Add("address", Hex(frame.loadAddress, 8))
                    .Add("last", frame.last)
                    .Add("length", Hex(frame.blockLength, 4))
                    .Add("sum", Hex(frame.sentSum, 6))
                    .Add("computed_sum", Hex(frame.computedSum, 6))
                    .Add("ok", frame.SumOk())
                    .Add("baud", m_frameBaud));

    if (!frame.SumOk()) {
        ++m_summary.badSums;
        m_refusedLast = true;
        Answer(kChecksumError83, "checksum error", false, answers);
        return;
    }
    if (frame.blockLength != headframe::kBlockBytes) {
        ++m_summary.badFrames;
        Abandon("block length " + Hex(frame.blockLength, 4) + " where 0x1000 was expected");
        Answer(kUpgradeFailed, "upgrade failed", false, answers);
        return;
    }
    if (frame.loadAddress != expected && !repeatOfLast) {
        ++m_summary.badFrames;
        Abandon("load address " + Hex(frame.loadAddress, 8) + " where " + Hex(expected, 8) +
                " was expected");
        Answer(kUpgradeFailed, "upgrade failed", false, answers);
        return;
    }

    // The other heads of the line take their frames as they come.
    const bool faultsApply =
        m_options.faultAddress == 0 || m_options.faultAddress == m_summary.lastAddress;
    if (!faultsApply || !AnswerFault(index, answers)) {
        StoreBlock(frame, index, repeatOfLast, answers);
    }
}

bool HeadMachine::AnswerFault(int index, std::vector<HeadAnswer>& answers) {
    if (TakeFault(m_options.badSumAt, index, "checksum error 0x83")) {
        m_refusedLast = true;
        Answer(kChecksumError83, "checksum error", false, answers);
        return true;
    }
    if (TakeFault(m_options.answer81At, index, "checksum error 0x81")) {
        m_refusedLast = true;
        Answer(kChecksumError81, "checksum error", false, answers);
        return true;
    }
    if (index != m_options.failAt && index != m_options.timeoutAt) {
        return false;
    }
    const bool fail = index == m_options.failAt;
    (fail ? m_options.failAt : m_options.timeoutAt) = -1;
    m_log.Write(
        JsonLine("fault").Add("kind", fail ? "fail 0x86" : "time-out 0x87").Add("index", index));
    Abandon(fail ? "failure on demand" : "time-out on demand");
    Answer(fail ? kUpgradeFailed : kUpgradeTimedOut, fail ? "upgrade failed" : "upgrade timed out",
           false, answers);
    return true;
}

void HeadMachine::StoreBlock(const DecodedFrame& frame, int index, bool repeatOfLast,
                             std::vector<HeadAnswer>& answers) {
    if (index == 0 && !repeatOfLast) {
        m_image.clear();  // a new transfer begins
    }
    if (repeatOfLast || m_refusedLast) {
        ++m_summary.resends;
    }
    m_refusedLast = false;
    m_imageSaved = false;
    const std::size_t at = static_cast<std::size_t>(index) * headframe::kBlockBytes;
    m_image.resize(at);
    m_image.insert(m_image.end(), frame.data, frame.data + headframe::kBlockBytes);
    m_nextBlock = index + 1;
    m_summary.imageBytes = static_cast<std::int64_t>(m_image.size());
    ++m_summary.framesAccepted;

    if (!frame.last) {
        Answer(kFrameAccepted, "frame accepted", false, answers);
    } else {
        WriteImage("image");
        ++m_summary.upgradesCompleted;
        const auto head =
            std::find(m_notUpgraded.begin(), m_notUpgraded.end(), m_summary.lastAddress);
        const bool lastHead = head != m_notUpgraded.end() && m_notUpgraded.size() == 1;
        if (head != m_notUpgraded.end()) {
            m_notUpgraded.erase(head);
        }
        m_log.Write(JsonLine("done")
                        .Add("address", m_summary.lastAddress)
                        .Add("blocks", m_nextBlock)
                        .Add("bytes", static_cast<std::int64_t>(m_image.size()))
                        .Add("out", m_options.outPath));
        m_nextBlock = 0;
        // The head restarts into its new firmware: back to ordinary control.
        EnterStartMode();
        Answer(kUpgradeComplete, "upgrade complete", lastHead, answers);
    }
    if (index == m_options.silentAfter) {
        m_options.silentAfter = -1;
        m_silent = true;
        m_log.Write(JsonLine("fault").Add("kind", "silent").Add("index", index));
    }
}

void HeadMachine::Abandon(const std::string& why) {
    m_log.Write(
        JsonLine("error").Add("message", "transfer abandoned: " + why).Add("index", m_nextBlock));
    m_nextBlock = 0;
    m_refusedLast = false;
}

void HeadMachine::Answer(std::uint8_t byte, const char* meaning, bool completes,
                         std::vector<HeadAnswer>& answers) {
    HeadAnswer answer;
    answer.completes = completes;
    if (!m_silent) {
        for (int i = 0; i < m_options.noise; ++i) {
            answer.bytes.push_back(kNoise[i % 2]);
        }
        answer.bytes.push_back(byte);
    }
    m_log.Write(JsonLine("answer")
                    .Add("byte", Hex(byte, 2))
                    .Add("meaning", meaning)
                    .Add("sent", !m_silent)
                    .Add("noise", m_silent ? 0 : m_options.noise)
                    .Add("delay_ms", m_options.answerDelayMs));
    answers.push_back(std::move(answer));
}

void HeadMachine::Ignore(const std::uint8_t* bytes, std::size_t count, int baud,
                         const char* reason) {
    if (count == 0) {
        return;
    }
    if (!m_ignored.empty() && (m_ignoredBaud != baud || m_ignoredReason != reason)) {
        FlushIgnored();
    }
    m_ignored.insert(m_ignored.end(), bytes, bytes + count);
    m_ignoredBaud = baud;
    m_ignoredReason = reason;
    m_summary.bytesIgnored += static_cast<std::int64_t>(count);
}

void HeadMachine::FlushIgnored() {
    if (m_ignored.empty()) {
        return;
    }
    m_log.Write(
        JsonLine("ignored")
            .Add("bytes", HexBytes(m_ignored.data(), std::min(m_ignored.size(), kIgnoredQuoted)))
            .Add("count", static_cast<std::int64_t>(m_ignored.size()))
            .Add("baud", m_ignoredBaud)
            .Add("reason", m_ignoredReason));
    m_ignored.clear();
}

void HeadMachine::EndOfChunk() {
    FlushIgnored();
}

void HeadMachine::SavePartialImage() {
    if (!m_imageSaved && !m_image.empty()) {
        WriteImage("partial image");
    }
}

bool HeadMachine::WriteImage(const char* what) {
    m_imageSaved = true;
    if (m_options.outPath.empty()) {
        return true;
    }
    std::FILE* out = std::fopen(m_options.outPath.c_str(), "wb");
    bool ok = out != nullptr;
    int err = errno;
    if (ok) {
        ok = std::fwrite(m_image.data(), 1, m_image.size(), out) == m_image.size();
        err = errno;
        ok = (std::fclose(out) == 0) && ok;
    }
    if (!ok) {
        m_summary.error = std::string("Cannot write the received ") + what + " to '" +
                          m_options.outPath + "': " + std::generic_category().message(err) +
                          ". Choose a writable path for --out.";
        m_log.Write(JsonLine("error").Add("message", m_summary.error));
    }
    return ok;
}
