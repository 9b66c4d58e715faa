// The command line's upgrade session against a head whose every answer (and every stray byte
// on the line) comes from the input, at a time the input chooses, sooner than the wire allows
// or later: it never reports success unless the image arrived whole and the frame marked last
// had its time on the line, progress never passes the total, resends stay within --retries,
// and nothing escapes. Runs on a clock that moves only when the session waits or a write waits
// for the wire, so no input takes real time.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "fuzz_check.h"
#include "head_answer.h"
#include "line_wire.h"
#include "transfer_rules.h"
#include "upgrade_frame.h"
#include "upgrade_line.h"
#include "upgrade_session.h"

namespace {

constexpr int kTransferBaud = 115200;
// Far more line operations than any bounded session needs (at most 25 sendings of 4107 bytes,
// each byte a write and a read of its echo in byte mode): more means the session loops.
constexpr int kMaxLineCalls = 500000;
// Latest a head answers, after it heard what it answers.
constexpr int kMaxAnswerDelayMs = 600;

// When the session handed a frame's bytes to the port, in the clock's milliseconds.
struct HandedFrame {
    std::int64_t firstByteMs = 0;  // the write with its first byte began
    std::int64_t lastByteMs = 0;   // the write with its last byte began
    bool markedLast = false;
};

class FuzzClock final : public IUpgradeClock {
  public:
    std::int64_t NowMs() override { return now; }
    void SleepMs(int ms) override {
        FuzzRequire(ms >= 0, "no negative sleep");
        now += ms;
    }
    std::int64_t now = 0;
};

// A head that hears every byte as it is handed to the port (as a pty does) and answers each
// connection check and each whole frame with the next bytes of the input; it rebuilds the image
// from the frames it heard. Writes return at once or once their bytes have crossed the line.
class FuzzLine final : public IUpgradeLine {
  public:
    // Port faults and an operator's stop happen at call numbers the input names (0: never).
    FuzzLine(FuzzedDataProvider& input, FuzzClock& clock, bool echo, std::atomic<bool>& stop)
        : m_input(input),
          m_clock(clock),
          m_echo(echo),
          m_stop(stop),
          m_failOpenAt(input.ConsumeIntegralInRange<int>(0, 6)),
          m_failWriteAt(input.ConsumeIntegralInRange<int>(0, 20000)),
          m_failReadAt(input.ConsumeIntegralInRange<int>(0, 20000)),
          m_stopAtWrite(input.ConsumeIntegralInRange<int>(0, 20000)),
          m_writesWaitForTheWire(input.ConsumeBool()) {}

    bool Open(std::int32_t baudRate, bool /*xonXoff*/) override {
        Count();
        m_baud = baudRate;
        m_partial.clear();
        m_open = ++m_opens != m_failOpenAt;
        return m_open;
    }

    bool Write(const std::uint8_t* bytes, std::size_t length) override {
        Count();
        FuzzRequire(m_open, "no write to a closed line");
        if (++m_writes == m_stopAtWrite) {
            m_stop = true;
        }
        if (m_writes == m_failWriteAt) {
            return false;
        }
        m_writeBeganMs = m_clock.now;
        for (std::size_t i = 0; i < length; ++i) {
            const std::int64_t crossed = m_wire.Cross(m_baud);
            if (m_echo) {
                m_wire.Say(crossed, bytes[i]);
            }
            Hear(bytes[i]);
        }
        if (m_writesWaitForTheWire) {
            m_wire.MoveTo(m_wire.FreeNs());
        }
        return true;
    }

    LineReadResult Read(std::uint8_t* buffer, std::size_t capacity, int timeoutMs,
                        std::size_t& received) override {
        Count();
        FuzzRequire(m_open, "no read from a closed line");
        FuzzRequire(timeoutMs >= 0, "no negative time limit");
        received = 0;
        if (++m_reads == m_failReadAt) {
            return LineReadResult::Failed;
        }
        const std::size_t ready = m_wire.Wait(timeoutMs);
        if (ready == 0) {
            return LineReadResult::TimedOut;
        }
        // The line delivers what has arrived in pieces of any size.
        const std::size_t count =
            m_input.ConsumeIntegralInRange<std::size_t>(1, std::min(capacity, ready));
        for (; received < count; ++received) {
            buffer[received] = m_wire.Next();
        }
        m_lastDataMs = m_clock.now;
        return LineReadResult::Data;
    }

    void Close() override {
        Count();
        m_open = false;
    }

    PortError LastError() const override { return PortError{PortErrorKind::Other, "fuzz"}; }

    bool IsOpen() const { return m_open; }
    // The image the head stored, block by block, as the last frames carrying each block had it.
    const std::map<std::uint32_t, std::vector<std::uint8_t>>& Blocks() const { return m_blocks; }
    bool LastFrameHeard() const { return m_lastFrameHeard; }
    // The last frame heard whole, and when the last read that brought bytes returned.
    const HandedFrame& LastFrame() const { return m_lastFrame; }
    std::int64_t LastDataMs() const { return m_lastDataMs; }
    int MostSendingsOfOneFrame() const { return m_mostSendings; }

  private:
    void Count() { FuzzRequire(++m_calls <= kMaxLineCalls, "the session ends in bounded steps"); }

    void Answer() {
        const auto count = m_input.ConsumeIntegralInRange<std::size_t>(0, 3);
        const std::int64_t at =
            m_wire.NowNs() +
            m_input.ConsumeIntegralInRange<std::int64_t>(0, kMaxAnswerDelayMs) * LineWire::kNsPerMs;
        for (std::size_t i = 0; i < count; ++i) {
            // Mostly answers from the table; sometimes any byte at all.
            const auto pick = m_input.ConsumeIntegralInRange<int>(0, 8);
            static constexpr std::array<std::uint8_t, 8> kTable = {0x80, 0x81, 0x82, 0x83,
                                                                   0x84, 0x86, 0x87, 0x82};
            m_wire.Say(at, pick < 8 ? kTable[static_cast<std::size_t>(pick)]
                                    : m_input.ConsumeIntegral<std::uint8_t>());
        }
    }

    void Hear(std::uint8_t byte) {
        if (m_baud != kTransferBaud) {
            return;  // the upgrade-mode command
        }
        if (m_partial.empty() && byte == kConnectionCheckByte) {
            if (++m_checkBytes % 2 == 0) {
                Answer();
            }
            return;
        }
        if (m_partial.empty()) {
            m_handed.firstByteMs = m_writeBeganMs;
        }
        m_partial.push_back(byte);
        if (m_partial.size() < frame::kSize) {
            return;
        }
        FrameHeard();
        m_partial.clear();
        Answer();
    }

    void FrameHeard() {
        const std::uint32_t address = (std::uint32_t{m_partial[2]} << 24U) |
                                      (std::uint32_t{m_partial[3]} << 16U) |
                                      (std::uint32_t{m_partial[4]} << 8U) | m_partial[5];
        m_sendings = address == m_lastAddress ? m_sendings + 1 : 1;
        m_mostSendings = std::max(m_mostSendings, m_sendings);
        m_lastAddress = address;
        m_blocks[address].assign(m_partial.begin() + frame::kDataAt,
                                 m_partial.begin() + frame::kChecksumAt);
        m_lastFrameHeard = m_lastFrameHeard || m_partial[frame::kLastBlockAt] != 0;
        m_handed.lastByteMs = m_writeBeganMs;
        m_handed.markedLast = m_partial[frame::kLastBlockAt] != 0;
        m_lastFrame = m_handed;
    }

    FuzzedDataProvider& m_input;
    FuzzClock& m_clock;
    bool m_echo;
    std::atomic<bool>& m_stop;
    int m_failOpenAt;
    int m_failWriteAt;
    int m_failReadAt;
    int m_stopAtWrite;
    bool m_writesWaitForTheWire;
    LineWire m_wire{m_clock.now};
    std::int64_t m_writeBeganMs = 0;
    std::int64_t m_lastDataMs = 0;
    HandedFrame m_handed;     // the frame being heard
    HandedFrame m_lastFrame;  // the last frame heard whole
    int m_opens = 0;
    int m_writes = 0;
    int m_reads = 0;
    bool m_open = false;
    std::int32_t m_baud = 0;
    int m_calls = 0;
    int m_checkBytes = 0;
    std::vector<std::uint8_t> m_partial;
    std::map<std::uint32_t, std::vector<std::uint8_t>> m_blocks;
    std::uint32_t m_lastAddress = 0;
    int m_sendings = 0;
    int m_mostSendings = 0;
    bool m_lastFrameHeard = false;
};

class ProgressCheck final : public IUpgradeObserver {
  public:
    void OnFrameAccepted(const FrameInfo& /*frame*/, const UpgradeProgress& progress) override {
        FuzzRequire(progress.framesAccepted <= progress.framesTotal, "frames within the total");
        FuzzRequire(progress.bytesSent <= progress.bytesTotal, "bytes within the total");
        FuzzRequire(progress.imageBytesDone <= progress.imageSize, "image bytes within the image");
        FuzzRequire(progress.framesAccepted > m_accepted, "progress only goes forward");
        m_accepted = progress.framesAccepted;
    }
    std::int64_t m_accepted = 0;
};

void CheckDecision(FuzzedDataProvider& input) {
    const auto answer = input.ConsumeIntegral<std::uint8_t>();
    const auto role = static_cast<FrameRole>(input.ConsumeIntegralInRange<int>(0, 2));
    const auto retries = input.ConsumeIntegralInRange<int>(0, 5);
    FrameOnLine frame;
    frame.role = role;
    frame.attempt = input.ConsumeIntegralInRange<int>(0, retries);
    frame.wholeFrameOut = input.ConsumeBool();
    frame.reportedDamaged = input.ConsumeBool();
    const FrameStep step = DecideFrameStep(answer, frame, retries);
    FuzzRequire(step != FrameStep::Complete ||
                    (role != FrameRole::Block && frame.wholeFrameOut && !frame.reportedDamaged),
                "complete only in answer to the whole last frame");
    FuzzRequire(step != FrameStep::Resend || frame.attempt < retries, "resends within the retries");
    FuzzRequire(step != FrameStep::SendFill || role == FrameRole::LastBlock,
                "fill only after the last frame");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    CheckDecision(input);

    UpgradeSessionOptions options;
    options.switchMode = input.ConsumeBool();
    options.echo = input.ConsumeBool();
    options.writeMode = input.ConsumeBool() ? WriteMode::Byte : WriteMode::Frame;
    options.retries = input.ConsumeIntegralInRange<int>(0, 4);
    options.answerTimeoutMs = input.ConsumeIntegralInRange<int>(1, 500);
    options.ackDelayMs = input.ConsumeIntegralInRange<int>(0, 30);
    const auto imageSize = input.ConsumeIntegralInRange<std::size_t>(1, 3 * frame::kBlockSize + 1);
    std::vector<std::uint8_t> image(imageSize);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 31 + i / 4096);
    }

    FuzzClock clock;
    std::atomic<bool> stop{false};
    FuzzLine line(input, clock, options.echo, stop);
    ProgressCheck progress;
    CUpgradeSession session(line, clock, progress, stop);
    const UpgradeResult result = session.Run(options, image);

    FuzzRequire(!line.IsOpen(), "the line is closed at the end");
    FuzzRequire(result.framesAccepted <= result.framesTotal, "accepted frames within the total");
    FuzzRequire(line.MostSendingsOfOneFrame() <= options.retries + 1,
                "no frame sent more often than the retries allow");
    FuzzRequire(result.resends <= options.retries * (result.framesTotal + 1) + 1,
                "resends bounded by the retries");
    if (result.status == UpgradeStatus::Done) {
        FuzzRequire(line.LastFrameHeard() && line.LastFrame().markedLast,
                    "success only after the frame marked last");
        FuzzRequire(line.LastDataMs() >= line.LastFrame().lastByteMs,
                    "success only once the last byte was handed to the port");
        // 95 % of the 356.5 ms 4107 bytes take at 115200 bit/s, in whole milliseconds.
        FuzzRequire(line.LastDataMs() - line.LastFrame().firstByteMs >= 338,
                    "success only once the frame marked last had its time on the line");
        FuzzRequire(result.framesAccepted == result.framesTotal, "success with every frame");
        for (std::size_t offset = 0; offset < image.size(); offset += frame::kBlockSize) {
            const auto block =
                line.Blocks().find(static_cast<std::uint32_t>(offset) + frame::kLoadAddressBase);
            FuzzRequire(block != line.Blocks().end(), "success with every block heard");
            const std::size_t count = std::min(frame::kBlockSize, image.size() - offset);
            FuzzRequire(std::equal(image.begin() + static_cast<std::ptrdiff_t>(offset),
                                   image.begin() + static_cast<std::ptrdiff_t>(offset + count),
                                   block->second.begin()),
                        "success with every block as in the image");
        }
    }
    return 0;
}
