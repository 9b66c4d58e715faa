// The fault matrix against ptz-upgrade: the real program against ptz-headsim or a head the test
// plays on a pty, each run bounded in time, its exit status and the image the head got checked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "expected_frame.h"
#include "outcome_table.h"
#include "played_head.h"
#include "port_holder.h"
#include "process_runner.h"

namespace {
constexpr std::size_t kBlock = 4096;
// No run of the matrix takes this long; one that does has hung and is killed.
constexpr int kRunLimitMs = 60000;

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 13 + i / 4096) & 0xFF);
    }
    return bytes;
}

std::vector<std::uint8_t> ThreeBlocks() {
    return Pattern(2 * kBlock + 100);
}

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image) {
    image.resize(std::max<std::size_t>(1, (image.size() + 4095) / 4096) * 4096, 0xFF);
    return image;
}

std::vector<std::uint8_t> BytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

PlayedHead::Script OddAnswerAt(int sequence, const PlayedAnswer& answer) {
    return [sequence, answer](const PlayedFrame& frame, const PlayedHead& head) {
        return frame.sequence == sequence ? answer : PlayedHead::HonestScript()(frame, head);
    };
}

// What ptz-upgrade said first, without the program's name, the head and its port.
std::string FirstMessage(const std::string& err, const std::string& dir) {
    std::string line = err.substr(0, err.find('\n'));
    const std::string program = "ptz-upgrade: ";
    if (line.rfind(program, 0) == 0) {
        line.erase(0, program.size());
    }
    if (line.rfind("head ", 0) == 0 && line.find(": ") != std::string::npos) {
        line.erase(0, line.find(": ") + 2);
    }
    for (std::size_t at; (at = line.find(dir)) != std::string::npos;) {
        line.replace(at, dir.size(), "$DIR");
    }
    return line.size() > 100 ? line.substr(0, 97) + "..." : line;
}

struct CliRun {
    ProcessResult result;
    double seconds = 0;
    int Exit() const { return result.exitStatus; }
};
}  // namespace

class CliFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ptz-faults-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        m_sim.reset();
        m_played.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    std::string WriteImage(const std::vector<std::uint8_t>& bytes,
                           const std::string& name = "fw.bin") {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return Path(name);
    }

    // ptz-headsim already in upgrade mode; its link.
    std::string StartSim(std::vector<std::string> args) {
        std::vector<std::string> argv = {PTZ_HEADSIM_EXE,      "--link",      Path("head"), "--out",
                                         Path("received.bin"), "--no-command"};
        argv.insert(argv.end(), args.begin(), args.end());
        m_sim = std::make_unique<ChildProcess>(argv, m_dir, "headsim");
        EXPECT_TRUE(m_sim->WaitForOutput(Path("head"), 5000)) << "ptz-headsim did not start";
        return Path("head");
    }
    std::vector<std::uint8_t> SimReceived() {
        // The simulator writes what it got when it completes, or when it stops.
        if (m_sim) {
            m_sim->Signal(SIGTERM);
            (void)m_sim->Wait(5000);
        }
        return BytesOf(ReadFileText(Path("received.bin")));
    }

    PlayedHead& StartPlayed(PlayedHead::Script script = PlayedHead::HonestScript(),
                            bool answerCheck = true) {
        m_played = std::make_unique<PlayedHead>(std::move(script), answerCheck);
        return *m_played;
    }

    // ptz-upgrade with the head already in upgrade mode; never runs past its bound.
    CliRun Upgrade(const std::string& port, const std::string& image,
                   std::vector<std::string> extra = {}, int limitMs = kRunLimitMs) {
        std::vector<std::string> argv = {PTZ_UPGRADE_EXE, "--port", port, "--no-switch",
                                         "--ack-delay",   "0",      "-q"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(image);
        const auto started = std::chrono::steady_clock::now();
        ChildProcess child(argv, m_dir, "upgrade");
        CliRun run;
        run.result = child.Wait(limitMs);
        run.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_NE(run.Exit(), -1) << "ptz-upgrade did not end within " << limitMs << " ms";
        return run;
    }

    void ExpectNoFalseSuccess(const CliRun& run, const std::vector<std::uint8_t>& received,
                              const std::vector<std::uint8_t>& image) {
        if (run.Exit() == 0) {
            EXPECT_TRUE(received == Padded(image)) << "exit 0, but the head got " << received.size()
                                                   << " bytes, not " << Padded(image).size();
        }
    }

    void Record(const std::string& fault, const CliRun& run, const std::string& note = "") {
        std::ostringstream outcome;
        outcome << "exit " << run.Exit() << " in " << static_cast<int>(run.seconds * 1000) << " ms";
        const std::string said = FirstMessage(run.result.err, m_dir);
        if (!said.empty()) {
            outcome << ": " << said;
        }
        if (!note.empty()) {
            outcome << "; " << note;
        }
        faults::Record(fault, "ptz-upgrade", outcome.str());
    }

    std::string m_dir;
    std::unique_ptr<ChildProcess> m_sim;
    std::unique_ptr<PlayedHead> m_played;
};

// ---- Heads that fall silent or answer late ----

TEST_F(CliFaults, HeadSilentFromTheStart) {
    PlayedHead& head = StartPlayed(PlayedHead::HonestScript(), false);
    const CliRun run =
        Upgrade(head.PortPath(), WriteImage(ThreeBlocks()), {"--answer-timeout", "0.3"});
    EXPECT_EQ(run.Exit(), 4) << run.result.err;
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_EQ(head.FramesReceived(), 0);
    Record("head silent from the start", run);
}

TEST_F(CliFaults, HeadSilentAfterFrameOne) {
    const auto image = ThreeBlocks();
    const CliRun run =
        Upgrade(StartSim({"--silent-after", "0"}), WriteImage(image), {"--answer-timeout", "0.5"});
    EXPECT_EQ(run.Exit(), 7) << run.result.err;
    EXPECT_LT(run.seconds, 10.0);
    ExpectNoFalseSuccess(run, SimReceived(), image);
    Record("head silent after frame 1", run);
}

TEST_F(CliFaults, AnswersLaterThanTheTimeLimit) {
    PlayedHead& head = StartPlayed(OddAnswerAt(1, PlayedAnswer{{{0x82}}, 1500, 40}));
    const auto image = ThreeBlocks();
    const CliRun run = Upgrade(head.PortPath(), WriteImage(image), {"--answer-timeout", "0.5"});
    EXPECT_EQ(run.Exit(), 7) << run.result.err;
    EXPECT_LT(run.seconds, 10.0);
    ExpectNoFalseSuccess(run, head.Image(), image);
    Record("answers later than the time limit", run);
}

// ---- Odd answers ----

TEST_F(CliFaults, NoiseBytesBeforeAnswers) {
    const auto image = ThreeBlocks();
    const CliRun run = Upgrade(StartSim({"--noise", "5", "--once"}), WriteImage(image));
    EXPECT_EQ(run.Exit(), 0) << run.result.err;
    EXPECT_TRUE(SimReceived() == Padded(image));
    Record("noise bytes before answers", run, "image whole");
}

TEST_F(CliFaults, ChecksumErrorsThenAcceptForOneFrame) {
    PlayedHead& head = StartPlayed(OddAnswerAt(0, PlayedAnswer{{{0x81}, {0x83}, {0x82}}, 0, 40}));
    const auto image = ThreeBlocks();
    const CliRun run = Upgrade(head.PortPath(), WriteImage(image));
    // Three answers to one frame: the two extra ones come sooner than the resent frame can
    // have crossed the line, so they answer nothing.
    EXPECT_EQ(run.Exit(), 0) << run.result.err;
    EXPECT_TRUE(head.Image() == Padded(image));
    Record("0x81, 0x83, 0x82 for one frame", run, "image whole");
}

TEST_F(CliFaults, AStaleDuplicateAnswerReleasesAndRewindsNothing) {
    // 0x82 to frame 2 twice, 40 ms apart, then frame 3 reported damaged: the duplicate must not
    // release frame 3 early, so that the 0x83 brings back block 3, not the block after it.
    PlayedHead& head = StartPlayed([](const PlayedFrame& frame, const PlayedHead& h) {
        if (frame.sequence == 2) {
            return PlayedAnswer{{{0x82}, {0x82}}, 0, 40};
        }
        return frame.sequence == 3 ? PlayedHead::Answer(0x83)
                                   : PlayedHead::HonestScript()(frame, h);
    });
    const auto image = Pattern(8 * kBlock + 100);
    const CliRun run = Upgrade(head.PortPath(), WriteImage(image));
    EXPECT_EQ(run.Exit(), 0) << run.result.err;
    std::vector<std::uint32_t> addresses;
    std::vector<Bytes> frames;
    for (const std::size_t block : {0, 1, 2, 3, 3, 4, 5, 6, 7, 8}) {
        addresses.push_back(static_cast<std::uint32_t>(0x20000 + block * kBlock));
        frames.push_back(ExpectedFrame(image, block * kBlock));
    }
    EXPECT_EQ(head.Addresses(), addresses);
    EXPECT_TRUE(head.Frames() == frames) << "a frame's block or sum is not the image's";
    Record("0x82 twice to one frame, next frame damaged", run, "damaged block resent");
}

TEST_F(CliFaults, CompleteBeforeTheLastFrame) {
    PlayedHead& head = StartPlayed(OddAnswerAt(0, PlayedHead::Answer(0x84)));
    const CliRun run = Upgrade(head.PortPath(), WriteImage(ThreeBlocks()));
    EXPECT_EQ(run.Exit(), 5) << run.result.err;
    Record("0x84 before the last frame", run);
}

TEST_F(CliFaults, AcceptOfTheLastFrameIsFollowedByTheFillFrame) {
    PlayedHead& head = StartPlayed([](const PlayedFrame& frame, const PlayedHead& h) {
        return frame.markedLast && frame.sequence == 2 ? PlayedHead::Answer(0x82)
                                                       : PlayedHead::HonestScript()(frame, h);
    });
    const auto image = ThreeBlocks();
    const CliRun run = Upgrade(head.PortPath(), WriteImage(image));
    EXPECT_EQ(run.Exit(), 0) << run.result.err;
    EXPECT_EQ(head.FramesReceived(), 4);
    EXPECT_TRUE(head.Image() == Padded(image));
    Record("0x82 to the last frame", run, "fill frame sent, image whole");
}

struct CliEndAnswer {
    bool timeout;
    int frame;
    const char* where;
};

class CliEndAnswers : public CliFaults, public ::testing::WithParamInterface<CliEndAnswer> {};

TEST_P(CliEndAnswers, EndTheRunWithTheirStatus) {
    const CliEndAnswer c = GetParam();
    const auto image = ThreeBlocks();
    const CliRun run =
        Upgrade(StartSim({c.timeout ? "--timeout-at" : "--fail-at", std::to_string(c.frame)}),
                WriteImage(image));
    EXPECT_EQ(run.Exit(), c.timeout ? 6 : 5) << run.result.err;
    ExpectNoFalseSuccess(run, SimReceived(), image);
    Record(std::string(c.timeout ? "0x87" : "0x86") + " at the " + c.where + " frame", run);
}

INSTANTIATE_TEST_SUITE_P(
    FirstMiddleLast, CliEndAnswers,
    ::testing::Values(CliEndAnswer{false, 0, "first"}, CliEndAnswer{false, 1, "middle"},
                      CliEndAnswer{false, 2, "last"}, CliEndAnswer{true, 0, "first"},
                      CliEndAnswer{true, 1, "middle"}, CliEndAnswer{true, 2, "last"}));

// ---- Ports ----

TEST_F(CliFaults, PortVanishingMidFrame) {
    const auto image = ThreeBlocks();
    const CliRun run = Upgrade(StartSim({"--vanish-at", "1"}), WriteImage(image),
                               {"--write-mode", "byte", "--answer-timeout", "2"});
    EXPECT_EQ(run.Exit(), 3) << run.result.err;
    ExpectNoFalseSuccess(run, SimReceived(), image);
    Record("port vanishes mid-frame (pty closed)", run);
}

TEST_F(CliFaults, PortVanishingAfterAWholeFrame) {
    PlayedHead& head = StartPlayed([](const PlayedFrame& frame, const PlayedHead& h) {
        if (frame.sequence == 1) {
            h.ClosePort();
            return PlayedAnswer{};
        }
        return PlayedHead::HonestScript()(frame, h);
    });
    const auto image = ThreeBlocks();
    const CliRun run = Upgrade(head.PortPath(), WriteImage(image));
    EXPECT_EQ(run.Exit(), 3) << run.result.err;
    EXPECT_LT(run.seconds, 10.0) << "noticed at once, not at the answer's time limit";
    Record("port vanishes after a whole frame (pty closed)", run);
}

TEST_F(CliFaults, PortBusy) {
    PlayedHead& head = StartPlayed();
    PortHolder holder(head.PortPath());
    ASSERT_TRUE(holder.Held());
    const CliRun run = Upgrade(head.PortPath(), WriteImage(ThreeBlocks()));
    EXPECT_EQ(run.Exit(), 3) << run.result.err;
    EXPECT_NE(run.result.err.find("in use"), std::string::npos) << run.result.err;
    EXPECT_EQ(head.ChecksReceived(), 0);
    Record("port busy (held by another process)", run);
}

TEST_F(CliFaults, PortThatIsNotASerialDevice) {
    const std::string file = WriteImage({1, 2, 3}, "not-a-port");
    const CliRun run = Upgrade(file, WriteImage(ThreeBlocks()));
    EXPECT_EQ(run.Exit(), 3) << run.result.err;
    EXPECT_EQ(BytesOf(ReadFileText(file)), (std::vector<std::uint8_t>{1, 2, 3}));
    Record("port is not a serial device (a file)", run);
}

TEST_F(CliFaults, PortNameOfThreeHundredCharacters) {
    const CliRun run = Upgrade(Path(std::string(300, 'p')), WriteImage(ThreeBlocks()));
    EXPECT_EQ(run.Exit(), 3) << run.result.err;
    Record("port name of 300 characters", run);
}

TEST_F(CliFaults, TextArgumentOfFiveThousandCharacters) {
    // The command line has no hex text; its longest free text is the address list.
    const std::string list(5000, '9');
    const CliRun run = Upgrade("sim", WriteImage(ThreeBlocks()), {"--address", list});
    EXPECT_EQ(run.Exit(), 2) << run.result.err;
    Record("--address text of 5000 characters", run);
}

// ---- Images ----

struct CliImage {
    const char* name;
    std::size_t size;  // for images that are sent
    int status;
};

class CliImages : public CliFaults, public ::testing::WithParamInterface<CliImage> {
  protected:
    std::string Make(const std::string& name, const std::vector<std::uint8_t>& image) {
        std::string path = Path("image.bin");
        if (name == "a directory") {
            std::filesystem::create_directory(path);
        } else if (name == "a FIFO") {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else if (name == "too large (sparse)") {
            std::ofstream(path).close();
            std::filesystem::resize_file(path, 2147483647ULL / 4107 * 4096 + 1);
        } else if (name != "missing") {
            WriteImage(image, "image.bin");
            if (name == "read-only") {
                EXPECT_EQ(::chmod(path.c_str(), 0444), 0);
            }
        }
        return path;
    }
};

TEST_P(CliImages, AreSentWholeOrRefused) {
    const CliImage c = GetParam();
    auto image = Pattern(c.size);
    if (std::string(c.name).find("XON") != std::string::npos) {
        for (std::size_t i = 0; i < image.size(); i += 3) {
            image[i] = (i / 3) % 2 == 0 ? 0x11 : 0x13;
        }
    }
    const std::string link = StartSim({"--once"});
    const CliRun run = Upgrade(link, Make(c.name, image), {}, 20000);
    EXPECT_EQ(run.Exit(), c.status) << run.result.err;
    const auto received = SimReceived();
    if (c.status == 0) {
        EXPECT_TRUE(received == Padded(image));
    } else {
        EXPECT_TRUE(received.empty()) << "a refused image reached the head";
    }
    Record(std::string("image ") + c.name, run, c.status == 0 ? "image whole" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Images, CliImages,
    ::testing::Values(CliImage{"empty", 0, 9}, CliImage{"of one byte", 1, 0},
                      CliImage{"of exactly 4096 bytes", 4096, 0}, CliImage{"read-only", 5000, 0},
                      CliImage{"a directory", 0, 9}, CliImage{"a FIFO", 0, 9},
                      CliImage{"missing", 0, 9}, CliImage{"too large (sparse)", 0, 9},
                      CliImage{"with XON/XOFF throughout", 2 * kBlock + 7, 0}),
    [](const auto& info) {
        std::string name;
        for (const char ch : std::string(info.param.name)) {
            name += std::isalnum(static_cast<unsigned char>(ch)) != 0 ? ch : '_';
        }
        return name;
    });

class CliChangingImage : public CliFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(CliChangingImage, TheHeadGetsTheImageAsItWasAtTheStart) {
    const bool grows = GetParam();
    const auto image = ThreeBlocks();
    const std::string path = WriteImage(image);
    PlayedHead& head = StartPlayed(PlayedHead::ChangingImageScript(path, grows));
    const CliRun run = Upgrade(head.PortPath(), path);
    EXPECT_EQ(run.Exit(), 0) << run.result.err;
    EXPECT_TRUE(head.Image() == Padded(image));
    Record(grows ? "image grows mid-transfer" : "image shrinks mid-transfer", run,
           "read whole at the start: the head got it as it was");
}

INSTANTIATE_TEST_SUITE_P(ShrinksOrGrows, CliChangingImage, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Grows" : "Shrinks"; });

// ---- The operator during a transfer ----

TEST_F(CliFaults, InterruptedDuringATransferReleasesThePort) {
    PlayedHead& head = StartPlayed(OddAnswerAt(1, PlayedAnswer{{{0x82}}, 3000, 40}));
    const std::string image = WriteImage(ThreeBlocks());
    const auto started = std::chrono::steady_clock::now();
    ChildProcess child({PTZ_UPGRADE_EXE, "--port", head.PortPath(), "--no-switch", "--ack-delay",
                        "0", "-q", image},
                       m_dir, "upgrade");
    ASSERT_TRUE(head.WaitForFrames(2, 20000));
    child.Signal(SIGINT);
    CliRun run;
    run.result = child.Wait(5000);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(run.Exit(), 130) << run.result.err;
    PortHolder next(head.PortPath());
    EXPECT_TRUE(next.Held()) << "the port was left locked";
    Record("interrupted (Ctrl-C) during a transfer", run, "port released");
}
