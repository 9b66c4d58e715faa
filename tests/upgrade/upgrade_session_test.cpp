// The upgrade session against a scripted line: the bytes it sends, how it acts on every answer,
// time limits, echo, write modes, port failures and stop requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "fake_line.h"
#include "pelco_command.h"
#include "upgrade_frame.h"
#include "upgrade_session.h"

namespace {

constexpr std::size_t kBlock = 4096;

// Deterministic bytes that include the answer codes, so that an echoed frame holds 0x80..0x87.
std::vector<std::uint8_t> ImageBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7U + 0x80U) & 0xFFU);
    }
    return bytes;
}

std::vector<std::uint8_t> ExpectedFrame(const std::vector<std::uint8_t>& image,
                                        std::size_t offset) {
    FrameBuffer frame{};
    FillUpgradeFrame(
        image.data() + offset,
        FrameAt(static_cast<std::int32_t>(offset), static_cast<std::int32_t>(image.size())), frame);
    return {frame.begin(), frame.end()};
}

struct RecordingObserver final : IUpgradeObserver {
    void OnReceived(std::uint8_t byte, std::int32_t, bool echo) override {
        (echo ? echoed : answers).push_back(byte);
    }
    void OnSwitched(std::int32_t baud) override { switchedAt = baud; }
    void OnConnected(int tries) override { connectTries = tries; }
    void OnFrameAccepted(const FrameInfo& frame, const UpgradeProgress& progress) override {
        accepted.push_back(frame.index);
        last = progress;
    }
    void OnResent(const FrameInfo& frame, std::uint8_t answer) override {
        resent.push_back(frame.index);
        resentAddress.push_back(frame.loadAddress);
        resentAnswer.push_back(answer);
    }
    void OnResult(const UpgradeResult& result) override { results.push_back(result.status); }

    std::vector<std::uint8_t> answers, echoed;
    std::int32_t switchedAt = 0;
    int connectTries = 0;
    std::vector<std::int64_t> accepted, resent;
    std::vector<std::uint32_t> resentAddress;
    std::vector<std::uint8_t> resentAnswer;
    UpgradeProgress last;
    std::vector<UpgradeStatus> results;
};

class SessionTest : public ::testing::Test {
  protected:
    UpgradeResult RunWith(const std::vector<std::uint8_t>& image) {
        CUpgradeSession session(line, clock, observer, stop);
        return session.Run(options, image);
    }

    FakeClock clock;
    FakeLine line{clock};
    RecordingObserver observer;
    std::atomic<bool> stop{false};
    UpgradeSessionOptions options;
};

TEST_F(SessionTest, WholeUpgradeSendsTheCommandCheckAndFramesAtTheirSpeeds) {
    options.address = 5;
    options.protocolIndex = PELCO_P;
    options.controlBaudRate = 9600;
    const auto image = ImageBytes(8193);
    const UpgradeResult result = RunWith(image);

    EXPECT_EQ(result.status, UpgradeStatus::Done);
    ASSERT_EQ(line.opens.size(), 2U);
    EXPECT_EQ(line.opens[0].baudRate, 9600);
    EXPECT_EQ(line.opens[1].baudRate, 115200);
    EXPECT_TRUE(line.opens[1].xonXoff);
    EXPECT_EQ(line.SentAt(9600), BuildUpgradeModeCommand(5, PELCO_P));

    std::vector<std::uint8_t> expected{0x3F, 0x3F};
    for (std::size_t offset = 0; offset < image.size(); offset += 4096) {
        const auto frame = ExpectedFrame(image, offset);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(line.SentAt(115200), expected);
    // A frame goes out in two writes: all but its last byte, then that byte, so that what the
    // head said before it can be told from an answer to the whole frame.
    EXPECT_EQ(std::vector<std::size_t>(line.writeSizes.end() - 2, line.writeSizes.end()),
              (std::vector<std::size_t>{4106U, 1U}));
    EXPECT_EQ(line.closeCalls, 2);
    EXPECT_FALSE(line.isOpen);

    EXPECT_EQ(observer.switchedAt, 9600);
    EXPECT_EQ(observer.connectTries, 1);
    EXPECT_EQ(observer.accepted, (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(observer.last.bytesSent, 3 * 4107);
    EXPECT_EQ(observer.last.imageBytesDone, 8193);
    // 500 ms after the command, 500 ms with the port closed, 20 ms after each of the two
    // accepted frames.
    EXPECT_EQ(clock.slept, 1040);
    EXPECT_EQ(line.closedMsBeforeOpen.at(1), 500);
}

TEST_F(SessionTest, NoSwitchStartsAtTheTransferSpeedWithoutACommand) {
    options.switchMode = false;
    options.ackDelayMs = 0;
    EXPECT_EQ(RunWith(ImageBytes(100)).status, UpgradeStatus::Done);
    ASSERT_EQ(line.opens.size(), 1U);
    EXPECT_EQ(line.opens[0].baudRate, 115200);
    EXPECT_EQ(line.sent[0], 0x3F);
    EXPECT_EQ(clock.slept, 0);
}

TEST_F(SessionTest, ChecksumErrorsResendTheSameFrameUntilAccepted) {
    line.answers[1] = {0x83};
    line.answers[2] = {0x81};
    const auto image = ImageBytes(3 * kBlock);
    const UpgradeResult result = RunWith(image);

    EXPECT_EQ(result.status, UpgradeStatus::Done);
    EXPECT_EQ(result.resends, 2);
    // Resent bytes are counted apart: the clean count never passes the total.
    EXPECT_EQ(observer.last.bytesSent, 3 * 4107);
    EXPECT_EQ(observer.last.bytesExtra, 2 * 4107);
    ASSERT_EQ(line.frames.size(), 5U);
    EXPECT_EQ(line.frames[1], ExpectedFrame(image, 4096));
    EXPECT_EQ(line.frames[2], line.frames[1]);
    EXPECT_EQ(line.frames[3], line.frames[1]);
    EXPECT_EQ(line.frames[4], ExpectedFrame(image, 8192));
    EXPECT_EQ(observer.resent, (std::vector<std::int64_t>{1, 1}));
    EXPECT_EQ(observer.resentAddress, (std::vector<std::uint32_t>{0x21000, 0x21000}));
    EXPECT_EQ(observer.resentAnswer, (std::vector<std::uint8_t>{0x83, 0x81}));
}

TEST_F(SessionTest, ChecksumErrorsBeyondTheRetriesStopTheUpgrade) {
    options.retries = 2;
    for (int n = 0; n < 10; ++n) {
        line.answers[n] = {0x83};
    }
    const UpgradeResult result = RunWith(ImageBytes(4096));
    EXPECT_EQ(result.status, UpgradeStatus::TooManyChecksumErrors);
    EXPECT_EQ(line.frames.size(), 3U) << "first sending and two resends";
    EXPECT_EQ(result.frameReached, 0);
    EXPECT_EQ(result.attempts, 3);
    EXPECT_EQ(result.answer, 0x83);

    // With no retries allowed, the first checksum error ends it.
    FakeLine strict(clock);
    strict.answers[0] = {0x81};
    options.retries = 0;
    CUpgradeSession session(strict, clock, observer, stop);
    EXPECT_EQ(session.Run(options, ImageBytes(10)).status, UpgradeStatus::TooManyChecksumErrors);
    EXPECT_EQ(strict.frames.size(), 1U);
}

TEST_F(SessionTest, EachFinalAnswerEndsWithItsOwnStatus) {
    const std::vector<std::pair<std::uint8_t, UpgradeStatus>> cases = {
        {0x84, UpgradeStatus::CompleteTooEarly},  // frame 1 of 3 is not the last
        {0x86, UpgradeStatus::HeadFailed},
        {0x87, UpgradeStatus::HeadTimedOut},
    };
    for (const auto& [answer, status] : cases) {
        FakeLine head(clock);
        head.answers[1] = {answer};
        CUpgradeSession session(head, clock, observer, stop);
        const UpgradeResult result = session.Run(options, ImageBytes(3 * kBlock));
        EXPECT_EQ(result.status, status) << std::hex << int{answer};
        EXPECT_EQ(head.frames.size(), 2U) << "nothing is sent after a final answer";
        EXPECT_EQ(result.frameReached, 1);
        EXPECT_FALSE(head.isOpen);
    }
}

TEST_F(SessionTest, BytesOutsideTheAnswerTableAreIgnored) {
    // 0x80 means nothing once the frames go; 0x85 and 0x88 are not answers at all.
    line.answers[0] = {0x00, 0x55, 0x80, 0x85, 0x88, 0x82};
    EXPECT_EQ(RunWith(ImageBytes(5000)).status, UpgradeStatus::Done);
    EXPECT_EQ(line.frames.size(), 2U);
}

TEST_F(SessionTest, AStaleByteIsNotTakenForTheNextAnswer) {
    // The head acknowledges frame 0 twice; the second 0x82 must not accept frame 1 unheard.
    line.answers[0] = {0x82, 0x82};
    line.answers[1] = {0x87};
    EXPECT_EQ(RunWith(ImageBytes(3 * kBlock)).status, UpgradeStatus::HeadTimedOut);
    EXPECT_EQ(line.frames.size(), 2U);
}

TEST_F(SessionTest, SilenceAfterAFrameIsNoAnswerWithinTheTimeLimit) {
    options.answerTimeoutMs = 2500;
    line.answers[1] = {};
    const UpgradeResult result = RunWith(ImageBytes(3 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::NoAnswer);
    EXPECT_EQ(result.frameReached, 1);
    EXPECT_EQ(result.loadAddress, 0x21000U);
    EXPECT_EQ(result.answerTimeoutMs, 2500);
    EXPECT_FALSE(result.answered);
    EXPECT_EQ(result.strayCount, 0U);
    // The time limit runs from when frame 1 had crossed the line: no more, no less.
    EXPECT_NEAR(clock.now - line.frameHeardMs.at(1), 2500, 1);
}

TEST_F(SessionTest, ABabblingLineStillTimesOut) {
    // A byte outside the answer table every 100 ms for 6 s does not stretch a 1 s time limit.
    options.answerTimeoutMs = 1000;
    line.answers[1] = std::vector<std::uint8_t>(60, 0x55);
    line.answerGapMs = 100;
    const UpgradeResult result = RunWith(ImageBytes(3 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::NoAnswer);
    EXPECT_NEAR(clock.now - line.frameHeardMs.at(1), 1000, 1);
    EXPECT_EQ(result.strayCount, 11U);  // from 0 ms to 1000 ms, both included
}

TEST_F(SessionTest, ConnectionCheckIsRetriedThenGivenUp) {
    line.connectAnswerFrom = 2;
    EXPECT_EQ(RunWith(ImageBytes(10)).status, UpgradeStatus::Done);
    EXPECT_EQ(observer.connectTries, 2);

    FakeLine deaf(clock);
    deaf.answerConnect = false;
    CUpgradeSession session(deaf, clock, observer, stop);
    const UpgradeResult result = session.Run(options, ImageBytes(10));
    EXPECT_EQ(result.status, UpgradeStatus::NoConnection);
    EXPECT_EQ(deaf.connectChecks, session::kConnectTries);
    EXPECT_TRUE(deaf.frames.empty());
    EXPECT_FALSE(deaf.isOpen);
}

TEST_F(SessionTest, EchoIsDroppedInBothWriteModesAndFlowControlIsOff) {
    const auto image = ImageBytes(2 * kBlock);
    for (const WriteMode mode : {WriteMode::Frame, WriteMode::Byte}) {
        FakeLine echoing(clock);
        echoing.echo = true;
        RecordingObserver seen;
        options.echo = true;
        options.writeMode = mode;
        CUpgradeSession session(echoing, clock, seen, stop);
        const UpgradeResult result = session.Run(options, ImageBytes(2 * kBlock));
        EXPECT_EQ(result.status, UpgradeStatus::Done);
        EXPECT_EQ(echoing.frames.size(), 2U);
        EXPECT_EQ(seen.echoed, echoing.sent);
        EXPECT_EQ(seen.answers, (std::vector<std::uint8_t>{0x80, 0x82, 0x84}));
        for (const OpenCall& open : echoing.opens) {
            EXPECT_FALSE(open.xonXoff);
        }
        // The echo of a whole frame would overrun a small receive queue: a frame goes out in
        // pieces, each read back before the next.
        const std::vector<std::size_t> frameWrites =
            mode == WriteMode::Frame ? std::vector<std::size_t>{1024, 1024, 1024, 1024, 10, 1}
                                     : std::vector<std::size_t>(4107, 1);
        EXPECT_EQ(std::vector<std::size_t>(echoing.writeSizes.end() - frameWrites.size(),
                                           echoing.writeSizes.end()),
                  frameWrites);
    }
}

TEST_F(SessionTest, ByteModeSplitsOnlyTheFramesIntoTheSameStream) {
    const auto image = ImageBytes(5000);
    ASSERT_EQ(RunWith(image).status, UpgradeStatus::Done);
    const std::vector<std::uint8_t> frameModeStream = line.sent;

    FakeLine byByte(clock);
    options.writeMode = WriteMode::Byte;
    CUpgradeSession session(byByte, clock, observer, stop);
    ASSERT_EQ(session.Run(options, ImageBytes(5000)).status, UpgradeStatus::Done);
    EXPECT_EQ(byByte.sent, frameModeStream);
    // The command and the connection check go out whole; only the frames are split.
    ASSERT_GE(byByte.writeSizes.size(), 3U);
    EXPECT_EQ(byByte.writeSizes[0], 7U);
    EXPECT_EQ(byByte.writeSizes[1], 2U);
    EXPECT_EQ(byByte.writeSizes.size(), 2U + 2U * 4107U);
}

TEST_F(SessionTest, EchoSettingThatDoesNotMatchTheLineIsReported) {
    options.echo = true;
    options.answerTimeoutMs = 1000;
    UpgradeResult result = RunWith(ImageBytes(10));
    EXPECT_EQ(result.status, UpgradeStatus::NoEcho);

    // An echoing line read without --echo: the echo of a frame would pass for its answer.
    FakeLine echoing(clock);
    echoing.echo = true;
    options.echo = false;
    CUpgradeSession session(echoing, clock, observer, stop);
    result = session.Run(options, ImageBytes(3 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::LineEchoes);
    EXPECT_TRUE(echoing.frames.empty()) << "no frame goes out on a line read the wrong way";
}

// What a head says before a frame's last byte was handed to the port cannot answer that frame:
// a "complete" then is never a success, however the frame ends.
TEST_F(SessionTest, AnswersBeforeTheLastByteNeverCountForTheFrame) {
    struct Early {
        std::size_t afterBytes;
        std::uint8_t answer;
        UpgradeStatus status;
    };
    for (const Early early :
         {Early{1, 0x84, UpgradeStatus::CompleteTooEarly},
          Early{200, 0x84, UpgradeStatus::CompleteTooEarly},
          Early{4106, 0x84, UpgradeStatus::CompleteTooEarly},
          Early{200, 0x86, UpgradeStatus::HeadFailed}, Early{200, 0x82, UpgradeStatus::Done},
          Early{4106, 0x81, UpgradeStatus::Done}}) {
        FakeLine head(clock);
        head.answersMidFrame[3] = {early.afterBytes, {early.answer}};  // the last of four
        CUpgradeSession session(head, clock, observer, stop);
        const UpgradeResult result = session.Run(options, ImageBytes(4 * kBlock));
        EXPECT_EQ(result.status, early.status) << "0x" << std::hex << int{early.answer} << " after "
                                               << std::dec << early.afterBytes << " bytes";
        EXPECT_EQ(result.frameReached, 3);
        EXPECT_EQ(result.resends, 0);
    }
}

// A write may return long before its bytes are out (a pty, a tty's write buffer, many USB
// drivers): what the head says sooner than the frame can have crossed the line is not the
// frame's answer, even after its last byte was handed to the port.
TEST_F(SessionTest, AnswersSoonerThanTheWireAllowsNeverCountForTheFrame) {
    struct Early {
        const char* what;
        std::function<void(FakeLine&)> script;
        UpgradeStatus status;
        std::vector<std::uint32_t> addresses;  // of the frames the head received
    };
    const std::vector<Early> cases = {
        {"0x82 twice to frame 0, 60 ms apart; frame 1 damaged",
         [](FakeLine& head) {
             head.answers[0] = {0x82, 0x82};
             head.answerGapMs = 60;
             head.answers[1] = {0x83};
         },
         UpgradeStatus::Done,
         {0x20000, 0x21000, 0x21000, 0x22000}},
        {"stale 0x83 40 ms into frame 1",
         [](FakeLine& head) {
             head.answersMidFrame[1] = {460, {0x83}};
         },
         UpgradeStatus::Done,
         {0x20000, 0x21000, 0x22000}},
        {"stale 0x81 40 ms into frame 1",
         [](FakeLine& head) {
             head.answersMidFrame[1] = {460, {0x81}};
         },
         UpgradeStatus::Done,
         {0x20000, 0x21000, 0x22000}},
        {"0x84 40 ms into the last frame",
         [](FakeLine& head) {
             head.answersMidFrame[2] = {460, {0x84}};
         },
         UpgradeStatus::CompleteTooEarly,
         {0x20000, 0x21000, 0x22000}},
    };
    for (const Early& early : cases) {
        FakeLine head(clock);
        head.writesReturnAtOnce = true;
        early.script(head);
        CUpgradeSession session(head, clock, observer, stop);
        const auto image = ImageBytes(3 * kBlock);
        EXPECT_EQ(session.Run(options, image).status, early.status) << early.what;
        std::vector<std::uint32_t> addresses;
        for (const auto& frame : head.frames) {
            addresses.push_back((std::uint32_t{frame[2]} << 24U) |
                                (std::uint32_t{frame[3]} << 16U) | (std::uint32_t{frame[4]} << 8U) |
                                frame[5]);
            EXPECT_EQ(frame, ExpectedFrame(image, addresses.back() - 0x20000)) << early.what;
        }
        EXPECT_EQ(addresses, early.addresses) << early.what;
    }
}

TEST_F(SessionTest, PortFailuresAreReportedAndTheLineIsClosed) {
    line.failOpenAt = 2;  // the reopening at the transfer speed
    UpgradeResult result = RunWith(ImageBytes(10));
    EXPECT_EQ(result.status, UpgradeStatus::PortFailed);
    EXPECT_EQ(result.portError.kind, PortErrorKind::Busy);
    EXPECT_EQ(result.portAction, PortAction::Open);
    EXPECT_EQ(result.stage, SessionStage::ConnectionCheck);
    EXPECT_EQ(result.baudRate, 115200);

    FakeLine breaking(clock);
    breaking.failWriteAt = 5;  // command, check, frame 0 (two writes), frame 1
    CUpgradeSession session(breaking, clock, observer, stop);
    result = session.Run(options, ImageBytes(3 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::PortFailed);
    EXPECT_EQ(result.frameReached, 1);
    EXPECT_FALSE(breaking.isOpen);

    FakeLine vanished(clock);
    vanished.failReads = true;
    CUpgradeSession third(vanished, clock, observer, stop);
    EXPECT_EQ(third.Run(options, ImageBytes(10)).status, UpgradeStatus::PortFailed);
    EXPECT_FALSE(vanished.isOpen);
}

TEST_F(SessionTest, AStopRequestEndsAtTheFrameReachedWithThePortClosed) {
    line.stop = &stop;
    line.stopAtWrite = 6;  // while frame 1 goes out (command, check, two writes a frame)
    const UpgradeResult result = RunWith(ImageBytes(4 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::Stopped);
    EXPECT_EQ(result.frameReached, 1);
    EXPECT_FALSE(line.isOpen);
    EXPECT_EQ(line.frames.size(), 2U);
    EXPECT_EQ(observer.results, (std::vector<UpgradeStatus>{UpgradeStatus::Stopped}));

    // Stopped in the pause after frame 0 was accepted: frame 1 is the one not yet sent.
    struct StopOnFirstAcceptance final : IUpgradeObserver {
        explicit StopOnFirstAcceptance(std::atomic<bool>& flag) : stop(flag) {}
        void OnFrameAccepted(const FrameInfo&, const UpgradeProgress&) override { stop = true; }
        std::atomic<bool>& stop;
    };
    stop = false;
    FakeLine pausing(clock);
    StopOnFirstAcceptance stopper(stop);
    CUpgradeSession session(pausing, clock, stopper, stop);
    const UpgradeResult paused = session.Run(options, ImageBytes(4 * kBlock));
    EXPECT_EQ(paused.status, UpgradeStatus::Stopped);
    EXPECT_EQ(paused.frameReached, 1);
    EXPECT_EQ(pausing.frames.size(), 1U);

    // Asked while a silent head is awaited: noticed within a poll, not at the 10 s time limit.
    stop = false;
    FakeLine silent(clock);
    silent.answers[1] = {};
    silent.stop = &stop;
    silent.stopAtMs = clock.now + 3000;  // frame 1 is out after about 1.8 s
    CUpgradeSession waiting(silent, clock, observer, stop);
    EXPECT_EQ(waiting.Run(options, ImageBytes(4 * kBlock)).status, UpgradeStatus::Stopped);
    EXPECT_LE(clock.now - silent.stopAtMs, 100);
}

TEST_F(SessionTest, AnEmptyImageEndsBeforeThePortOpens) {
    const UpgradeResult result = RunWith({});
    EXPECT_EQ(result.status, UpgradeStatus::ImageUnreadable);
    EXPECT_TRUE(line.opens.empty());
}

TEST_F(SessionTest, CompleteBeforeTheLastFrameIsNeverASuccess) {
    // A head that answers 0x84 to frame 3 of 10.
    line.answers[3] = {0x84};
    UpgradeResult result = RunWith(ImageBytes(10 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::CompleteTooEarly);
    EXPECT_EQ(result.frameReached, 3);
    EXPECT_EQ(result.framesAccepted, 3);
    EXPECT_EQ(result.framesTotal, 10);
    EXPECT_EQ(line.frames.size(), 4U) << "nothing is sent after it";
    EXPECT_EQ(observer.accepted.size(), 3U);

    // One noise byte 0x84 in front of the answer to the first frame.
    FakeLine noisy(clock);
    noisy.answers[0] = {0x84, 0x82};
    CUpgradeSession session(noisy, clock, observer, stop);
    result = session.Run(options, ImageBytes(10 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::CompleteTooEarly);
    EXPECT_EQ(result.framesAccepted, 0);
    EXPECT_EQ(noisy.frames.size(), 1U);
    EXPECT_FALSE(noisy.isOpen);
}

TEST_F(SessionTest, TheFillFrameIsAnsweredLikeTheLastFrame) {
    // 0x82 to the last frame earns the fill frame: mark 1, all 0xFF, load address 0x20000 plus
    // the image size; 0x84 to it completes the upgrade.
    line.answers[2] = {0x82};
    const auto image = ImageBytes(2 * kBlock + 100);
    const UpgradeResult result = RunWith(image);
    EXPECT_EQ(result.status, UpgradeStatus::Done);
    ASSERT_EQ(line.frames.size(), 4U);
    const auto& fill = line.frames[3];
    EXPECT_EQ(fill[1], 1);
    const std::uint32_t address = (std::uint32_t{fill[2]} << 24U) |
                                  (std::uint32_t{fill[3]} << 16U) | (std::uint32_t{fill[4]} << 8U) |
                                  fill[5];
    EXPECT_EQ(address, 0x20000U + image.size());
    EXPECT_TRUE(std::all_of(fill.begin() + 8, fill.begin() + 8 + 4096,
                            [](std::uint8_t b) { return b == 0xFF; }));
    // Progress ends at 100 %, never past it; the fill frame counts apart.
    EXPECT_EQ(observer.accepted, (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(observer.last.framesAccepted, observer.last.framesTotal);
    EXPECT_EQ(observer.last.bytesSent, observer.last.bytesTotal);
    EXPECT_EQ(observer.last.imageBytesDone, static_cast<std::int64_t>(image.size()));
}

TEST_F(SessionTest, BytesOutsideTheTableAreReportedWhenNoAnswerComes) {
    line.answers[1] = {0x55, 0x00, 0x80};
    options.answerTimeoutMs = 1000;
    const UpgradeResult result = RunWith(ImageBytes(3 * kBlock));
    EXPECT_EQ(result.status, UpgradeStatus::NoAnswer);
    EXPECT_EQ(result.strayBytes, (std::vector<std::uint8_t>{0x55, 0x00, 0x80}));
    EXPECT_EQ(result.strayCount, 3U);
}

TEST_F(SessionTest, ALongerSwitchPauseWaitsWithThePortOpenThenClosed) {
    options.switchPauseMs = 3000;
    options.ackDelayMs = 0;
    ASSERT_EQ(RunWith(ImageBytes(10)).status, UpgradeStatus::Done);
    EXPECT_EQ(clock.slept, 3000);
    EXPECT_EQ(line.closedMsBeforeOpen.at(1), 500);
    // Shorter than the window program's pause is never taken.
    FakeLine quick(clock);
    options.switchPauseMs = 10;
    clock.slept = 0;
    CUpgradeSession session(quick, clock, observer, stop);
    ASSERT_EQ(session.Run(options, ImageBytes(10)).status, UpgradeStatus::Done);
    EXPECT_EQ(clock.slept, 1000);
}

TEST_F(SessionTest, AHeadThatAcceptsTheEndButNeverFinishesIsNotServedForever) {
    // Acknowledging the last block with 0x82 earns one fill frame, as the window program sends;
    // acknowledging that too cannot go on for ever.
    line.answers[0] = {0x82};
    line.answers[1] = {0x82};
    const auto image = ImageBytes(4096);
    const UpgradeResult result = RunWith(image);
    EXPECT_EQ(result.status, UpgradeStatus::EndNotConfirmed);
    EXPECT_TRUE(result.fillFrame);
    EXPECT_EQ(result.frameReached, 1);
    EXPECT_EQ(observer.last.framesAccepted, 1) << "the fill frame is not a frame of the image";
    ASSERT_EQ(line.frames.size(), 2U);
    EXPECT_EQ(line.frames[1][1], 1) << "the fill frame carries the last-block mark";
    EXPECT_EQ(line.frames[1][5], 0x00);  // load address 0x00021000
    EXPECT_EQ(line.frames[1][4], 0x10);
}

}  // namespace
