// The simulated head against hand-made byte streams on its pty, as a loader would send them.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "head_line.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

const Bytes kCommandD1 = {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58};
const Bytes kCheck = {0x3F, 0x3F};
constexpr std::ptrdiff_t kBlock = 4096;

HeadSimOptions InUpgradeMode() {
    HeadSimOptions options;
    options.noCommand = true;
    return options;
}

Bytes Bytes2(const std::string& text) {
    return {text.begin(), text.end()};
}

std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}
}  // namespace

TEST_F(HeadLine, UpgradeWithFramesSplitArbitrarilyWritesTheImageWithPadding) {
    Start({});
    Connect(kCommandD1);
    const Bytes image = ImageOf(9000, 3);
    Send(HandFrame(image, 0, false), {1});
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 1, false), {7, 1000, 1, 3});
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 2, true));
    EXPECT_EQ(Receive(1), Bytes{0x84});

    ASSERT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), Padded(image));
    const HeadSimSummary s = m_sim->Summary();
    EXPECT_EQ(s.commandsAccepted, 1);
    EXPECT_EQ(s.commandBaud, 2400);
    EXPECT_EQ(s.frameBaud, 115200);
    EXPECT_EQ(s.framesAccepted, 3);
    EXPECT_EQ(s.upgradesCompleted, 1);
    EXPECT_EQ(s.imageBytes, 3 * kBlock);
    EXPECT_EQ(s.bytesIgnored, 0);
}

TEST_F(HeadLine, AfterAnUpgradeTheHeadListensForTheCommandAgain) {
    Start({});
    Connect(kCommandD1);
    EXPECT_EQ(Upload(ImageOf(100, 1)), Bytes{0x84});
    Send(kCheck);
    EXPECT_TRUE(ReceiveNothingFor(200).empty()) << "a head back in control mode ignores 3F 3F";
    Connect(kCommandD1);
    const Bytes second = ImageOf(5000, 9);
    EXPECT_EQ(Upload(second), (Bytes{0x82, 0x84}));
    ASSERT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), Padded(second));
    EXPECT_EQ(m_sim->Summary().upgradesCompleted, 2);
}

TEST_F(HeadLine, HeadsSharingALineAreUpgradedOneAfterAnother) {
    HeadSimOptions options;
    options.moreAddresses = {4};
    Start(options);
    Connect({0xFF, 0x04, 0x00, 0x57, 0x00, 0x00, 0x5B});
    EXPECT_EQ(Upload(ImageOf(10, 1)), Bytes{0x84});
    EXPECT_FALSE(m_sim->WaitUntilDone(100)) << "head 1 has not been upgraded yet";
    EXPECT_EQ(m_sim->Summary().lastAddress, 4);
    Connect(kCommandD1);
    EXPECT_EQ(Upload(ImageOf(10, 1)), Bytes{0x84});
    EXPECT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(m_sim->Summary().upgradesCompleted, 2);
}

TEST_F(HeadLine, BadSumIsAnswered83AndTheResendIsStored) {
    Start(InUpgradeMode());
    SetSpeed(B115200);
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    const Bytes image = ImageOf(6000, 5);
    Bytes damaged = HandFrame(image, 0, false);
    damaged[100] ^= 0x01;
    Send(damaged);
    EXPECT_EQ(Receive(1), Bytes{0x83});
    Bytes badSumField = HandFrame(image, 0, false);
    badSumField.back() ^= 0x80;
    Send(badSumField);
    EXPECT_EQ(Receive(1), Bytes{0x83});
    Send(HandFrame(image, 0, false));
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 1, true));
    EXPECT_EQ(Receive(1), Bytes{0x84});

    ASSERT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), Padded(image));
    EXPECT_EQ(m_sim->Summary().badSums, 2);
    EXPECT_EQ(m_sim->Summary().resends, 1);
}

TEST_F(HeadLine, FrameForAnUnexpectedBlockFailsTheTransferUntilTheNextCheck) {
    Start(InUpgradeMode());
    SetSpeed(B115200);
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    const Bytes image = ImageOf(3 * kBlock, 2);
    Send(HandFrame(image, 0, false));
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 2, true));  // block 1 skipped
    EXPECT_EQ(Receive(1), Bytes{0x86});
    Send(HandFrame(image, 1, false));  // the transfer is over: nothing follows on
    EXPECT_EQ(Receive(1), Bytes{0x86});
    EXPECT_EQ(m_sim->Summary().badFrames, 2);

    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    EXPECT_EQ(Upload(image), (Bytes{0x82, 0x82, 0x84}));
    ASSERT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), image);
}

TEST_F(HeadLine, RepeatOfTheLastAcceptedBlockReplacesItInsteadOfAppending) {
    Start(InUpgradeMode());
    SetSpeed(B115200);
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    const Bytes image = ImageOf(5000, 4);
    Send(HandFrame(image, 0, false));
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 0, false));  // its answer was lost, the loader sends it again
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 1, true));
    EXPECT_EQ(Receive(1), Bytes{0x84});
    ASSERT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), Padded(image));
    EXPECT_EQ(m_sim->Summary().resends, 1);
}

TEST_F(HeadLine, CommandIsHeardOnlyAtTheControlSpeedForThisAddress) {
    HeadSimOptions options;
    options.speed = 9600;
    Start(options);

    SetSpeed(B2400);
    Send(kCommandD1);
    ASSERT_TRUE(WaitForSummary([](const HeadSimSummary& s) { return s.commandsIgnored == 1; }));
    SetSpeed(B115200);
    Send(kCheck);
    EXPECT_TRUE(ReceiveNothingFor(200).empty()) << "command at 2400 for a head at 9600";

    SetSpeed(B9600);
    Send({0xFF, 0x02, 0x00, 0x57, 0x00, 0x00, 0x59});  // address 2
    Send({0xFF, 0x01, 0x00, 0x07, 0x00, 0x00, 0x08});  // address 1, but another command
    ASSERT_TRUE(WaitForSummary([](const HeadSimSummary& s) { return s.commandsIgnored == 3; }));
    SetSpeed(B115200);
    Send(kCheck);
    EXPECT_TRUE(ReceiveNothingFor(200).empty()) << "no upgrade command for address 1 yet";

    SetSpeed(B9600);
    Bytes noisy = {0x00, 0xFF, 0x13};  // junk, including a start byte, before the command
    noisy.insert(noisy.end(), kCommandD1.begin(), kCommandD1.end());
    Send(noisy, {1});
    ASSERT_TRUE(WaitForSummary([](const HeadSimSummary& s) { return s.commandsAccepted == 1; }));
    SetSpeed(B115200);
    Send(kCheck);
    EXPECT_EQ(Receive(1), Bytes{0x80});

    const HeadSimSummary s = m_sim->Summary();
    EXPECT_EQ(s.commandsAccepted, 1);
    EXPECT_EQ(s.commandsIgnored, 3);
    EXPECT_EQ(s.commandBaud, 9600);
}

TEST_F(HeadLine, InUpgradeModeBytesAtAnotherSpeedAreLost) {
    Start(InUpgradeMode());
    SetSpeed(B9600);
    Send(kCheck);
    ASSERT_TRUE(WaitForSummary([](const HeadSimSummary& s) { return s.bytesIgnored == 2; }));
    EXPECT_TRUE(ReceiveNothingFor(100).empty());
    SetSpeed(B115200);
    Send({0x3F, 0x12});  // a broken check is not a check
    EXPECT_TRUE(ReceiveNothingFor(200).empty());
    Send(kCheck);
    EXPECT_EQ(Receive(1), Bytes{0x80});
    EXPECT_EQ(m_sim->Summary().bytesIgnored, 4);
}

TEST_F(HeadLine, PelcoPCarriesTheAddressLessOne) {
    HeadSimOptions options;
    options.pelcoP = true;
    options.address = 5;
    Start(options);
    const std::vector<Bytes> ignored = {
        {0xA0, 0x05, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x5D},  // address 6
        {0xFF, 0x05, 0x00, 0x57, 0x00, 0x00, 0x5C},        // Pelco-D for address 5
        {0xA0, 0x04, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x5D},  // bad check byte
    };
    for (const Bytes& command : ignored) {
        SetSpeed(B2400);
        const std::int64_t before = m_sim->Summary().bytesIgnored;
        const int commandsBefore = m_sim->Summary().commandsIgnored;
        Send(command);
        // Heard when every byte was either dropped or made a (refused) command.
        ASSERT_TRUE(WaitForSummary([&](const HeadSimSummary& s) {
            return s.commandsIgnored > commandsBefore ||
                   s.bytesIgnored - before >= static_cast<std::int64_t>(command.size());
        }));
        SetSpeed(B115200);
        Send(kCheck);
        EXPECT_TRUE(ReceiveNothingFor(150).empty());
    }
    Connect({0xA0, 0x04, 0x00, 0x57, 0x00, 0x00, 0xAF, 0x5C});
    EXPECT_EQ(m_sim->Summary().commandsAccepted, 1);
    EXPECT_EQ(m_sim->Summary().commandsIgnored, 1);  // only the valid frame counts as a command
}

TEST_F(HeadLine, EchoReturnsEveryByteBeforeTheAnswer) {
    HeadSimOptions options = InUpgradeMode();
    options.echo = true;
    Start(options);
    SetSpeed(B115200);
    Send(kCheck);
    EXPECT_EQ(Receive(3), (Bytes{0x3F, 0x3F, 0x80}));
    const Bytes image = ImageOf(10, 6);
    Bytes expected = HandFrame(image, 0, true);
    Send(expected, {333});
    expected.push_back(0x84);
    EXPECT_EQ(Receive(expected.size()), expected);
}

TEST_F(HeadLine, ChecksumFaultsFireOnceAndNoiseComesFirst) {
    HeadSimOptions options = InUpgradeMode();
    options.badSumAt = {0};
    options.answer81At = {1};
    options.noise = 2;
    Start(options);
    SetSpeed(B115200);
    Send(kCheck);
    EXPECT_EQ(Receive(3), (Bytes{0x00, 0x55, 0x80}));
    const Bytes image = ImageOf(3 * kBlock - 1, 8);
    const std::vector<std::pair<std::size_t, std::uint8_t>> steps = {
        {0, 0x83}, {0, 0x82}, {1, 0x81}, {1, 0x82}, {2, 0x84}};
    for (const auto& [block, answer] : steps) {
        Send(HandFrame(image, block, block == 2));
        EXPECT_EQ(Receive(3), (Bytes{0x00, 0x55, answer})) << "block " << block;
    }
    ASSERT_TRUE(m_sim->WaitUntilDone(3000));
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), Padded(image));
    EXPECT_EQ(m_sim->Summary().resends, 2);
}

TEST_F(HeadLine, FailAndTimeOutAbandonTheTransfer) {
    HeadSimOptions options = InUpgradeMode();
    options.timeoutAt = 0;
    options.failAt = 1;
    Start(options);
    SetSpeed(B115200);
    const Bytes image = ImageOf(8000, 7);
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    EXPECT_EQ(Upload(image), Bytes{0x87});
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    EXPECT_EQ(Upload(image), (Bytes{0x82, 0x86}));
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    EXPECT_EQ(Upload(image), (Bytes{0x82, 0x84}));
}

TEST_F(HeadLine, SilentAfterAFrameAnswersNothingMore) {
    HeadSimOptions options = InUpgradeMode();
    options.silentAfter = 0;
    Start(options);
    SetSpeed(B115200);
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    const Bytes image = ImageOf(5000, 1);
    Send(HandFrame(image, 0, false));
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 1, true));
    EXPECT_TRUE(ReceiveNothingFor(300).empty());
    Send(kCheck);
    EXPECT_TRUE(ReceiveNothingFor(300).empty());
    // The head still took the image; it only stopped talking.
    EXPECT_EQ(m_sim->Summary().upgradesCompleted, 1);
}

TEST_F(HeadLine, AnswerDelayAndPaceNeverMakeTheHeadFasterThanAsked) {
    HeadSimOptions options = InUpgradeMode();
    options.answerDelayMs = 200;
    options.paceBaud = 115200;
    Start(options);
    SetSpeed(B115200);
    auto start = Clock::now();
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    EXPECT_GE(MsSince(start), 200);

    start = Clock::now();
    Send(HandFrame(ImageOf(1, 0), 0, true));
    ASSERT_EQ(Receive(1, 5000), Bytes{0x84});
    // 4107 bytes at ten bits each take 356 ms at 115200 bit/s; a burst of 32 may come early.
    EXPECT_GE(MsSince(start), 200 + (4107 - 32) * 10 * 1000 / 115200);
}

TEST_F(HeadLine, AnswerLatencyReleasesAnswersOnTheTicksOfAFreeRunningTimer) {
    constexpr std::int64_t kTimerMs = 200;
    constexpr std::int64_t kJitterMs = 40;  // a loaded machine's late wake-ups
    HeadSimOptions options = InUpgradeMode();
    options.answerLatencyMs = static_cast<int>(kTimerMs);
    Start(options);
    SetSpeed(B115200);
    std::vector<Clock::time_point> arrivals;
    for (const int pauseMs : {0, 83, 121}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const auto sent = Clock::now();
        Send(kCheck);
        ASSERT_EQ(Receive(1), Bytes{0x80});
        arrivals.push_back(Clock::now());
        EXPECT_LE(MsSince(sent), kTimerMs + kJitterMs) << "held longer than one period";
    }
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(arrivals[i] - arrivals[i - 1])
                .count();
        EXPECT_GE(gap, kTimerMs - kJitterMs) << "answer " << i << " left before the next tick";
        const std::int64_t offGrid = gap % kTimerMs;
        EXPECT_TRUE(offGrid <= kJitterMs || offGrid >= kTimerMs - kJitterMs)
            << "answer " << i << " left " << offGrid << " ms off the timer's ticks";
    }
}

TEST_F(HeadLine, VanishClosesThePortHalfwayThroughTheFrame) {
    HeadSimOptions options = InUpgradeMode();
    options.vanishAt = 1;
    options.linkPath = m_dir + "/head";
    Start(options);
    SetSpeed(B115200);
    Send(kCheck);
    ASSERT_EQ(Receive(1), Bytes{0x80});
    const Bytes image = ImageOf(9000, 1);
    Send(HandFrame(image, 0, false));
    ASSERT_EQ(Receive(1), Bytes{0x82});
    const Bytes frame = HandFrame(image, 1, false);
    Send(Bytes(frame.begin(), frame.begin() + 3000));

    EXPECT_FALSE(m_sim->WaitUntilDone(3000));
    EXPECT_FALSE(m_sim->Running());
    EXPECT_TRUE(m_sim->Summary().vanished);
    struct stat st {};
    EXPECT_NE(lstat(options.linkPath.c_str(), &st), 0) << "the link goes with the port";
    std::uint8_t byte = 0;
    pollfd pfd{m_fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 1000), 1);
    EXPECT_NE(pfd.revents & POLLHUP, 0);
    EXPECT_LE(read(m_fd, &byte, 1), 0);
}

// A program hosting the simulator may start a loader: the child must not hold the pty, or the
// port could never vanish for it.
TEST_F(HeadLine, ProgramsStartedBesideTheSimulatorDoNotHoldItsPty) {
    Start(InUpgradeMode());
    ClosePort();
    std::string sleepArg0 = "sleep";
    std::string sleepArg1 = "5";
    char* argv[] = {sleepArg0.data(), sleepArg1.data(), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
    namespace fs = std::filesystem;
    const fs::path proc = "/proc/" + std::to_string(child);
    std::error_code error;
    const auto started = Clock::now();
    while (fs::read_symlink(proc / "exe", error).filename() != "sleep" && MsSince(started) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<std::string> held;
    for (const auto& entry : fs::directory_iterator(proc / "fd", error)) {
        held.push_back(fs::read_symlink(entry.path(), error).string());
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(held.empty());
    for (const std::string& target : held) {
        EXPECT_NE(target, "/dev/ptmx");
        EXPECT_NE(target, m_sim->SlavePath());
    }
}

TEST_F(HeadLine, ReopeningThePortKeepsTheHeadAndStopSavesThePartialImage) {
    Start({});
    Connect(kCommandD1);
    ClosePort();
    OpenPort();
    SetSpeed(B115200);
    const Bytes image = ImageOf(3 * kBlock, 3);
    Send(HandFrame(image, 0, false));
    EXPECT_EQ(Receive(1), Bytes{0x82});
    Send(HandFrame(image, 1, false));
    EXPECT_EQ(Receive(1), Bytes{0x82});
    m_sim->Stop();
    m_sim->Stop();
    EXPECT_EQ(Bytes2(ReadFile(m_outPath)), Bytes(image.begin(), image.begin() + 2 * kBlock));
    EXPECT_FALSE(m_sim->Running());
}

TEST_F(HeadLine, LogHasOneJsonObjectPerEventWithTheLineSpeed) {
    Start({});
    Connect(kCommandD1);
    Send({0x55});
    Bytes damaged = HandFrame(ImageOf(10, 1), 0, true);
    damaged[9] ^= 0xFF;
    Send(damaged);
    EXPECT_EQ(Receive(1), Bytes{0x83});
    EXPECT_EQ(Upload(ImageOf(10, 1)), Bytes{0x84});
    m_sim->Stop();

    std::istringstream lines(ReadFile(m_logPath));
    int frames = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto fields = ParseFlatJson(line);
        ASSERT_FALSE(fields.empty()) << "not a JSON object: " << line;
        EXPECT_EQ(fields.front().first, "event");
        EXPECT_EQ(fields.back().first, "t_ms");
        if (fields.front().second == "command") {
            EXPECT_NE(line.find("\"bytes\":\"ff 01 00 57 00 00 58\""), std::string::npos);
            EXPECT_NE(line.find("\"baud\":2400"), std::string::npos);
        }
        if (fields.front().second == "frame") {
            ++frames;
            for (const char* key : {"index", "address", "last", "sum", "ok", "baud"}) {
                EXPECT_NE(line.find(std::string("\"") + key + "\":"), std::string::npos) << key;
            }
            EXPECT_NE(line.find("\"baud\":115200"), std::string::npos);
            EXPECT_NE(line.find("\"address\":\"0x00020000\""), std::string::npos);
        }
    }
    EXPECT_EQ(frames, 2);
    const std::vector<std::string> events = LogEvents();
    for (const char* event :
         {"start", "speed", "command", "connect", "ignored", "frame", "answer", "done", "stop"}) {
        EXPECT_NE(std::find(events.begin(), events.end(), event), events.end()) << event;
    }
}

TEST_F(HeadLine, LinkReplacesAnOldSymlinkButNeverAFile) {
    const std::string link = m_dir + "/port";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    HeadSimOptions options;
    options.linkPath = link;
    Start(options);
    std::array<char, 256> target{};
    const ssize_t n = readlink(link.c_str(), target.data(), target.size() - 1);
    EXPECT_EQ(std::string(target.data(), n > 0 ? static_cast<std::size_t>(n) : 0),
              m_sim->SlavePath());
    ClosePort();
    m_sim->Stop();
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);

    std::ofstream(link) << "keep me";
    HeadSimulator second(options);
    std::string error;
    EXPECT_FALSE(second.Start(error));
    EXPECT_NE(error.find(link), std::string::npos) << error;
    EXPECT_EQ(ReadFile(link), "keep me");
    std::remove(link.c_str());
}
