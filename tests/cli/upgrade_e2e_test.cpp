// ptz-upgrade end to end against the real ptz-headsim on a pseudo-terminal: whole upgrades at
// every speed and in both protocols, batches, parallel ports, echo, every exit status, and the
// machine-readable outputs.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "head_run_fixture.h"
#include "process_runner.h"

namespace {

constexpr std::size_t kBlock = 4096;

constexpr int kRunLimitMs = 60000;

// Every value of a numeric field in the headsim log lines of one event.
std::vector<long> LogValues(const std::string& log, const std::string& event,
                            const std::string& field) {
    std::vector<long> values;
    const std::regex pattern("\"" + field + "\":([0-9]+)");
    for (const std::string& line : Lines(log)) {
        std::smatch match;
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos &&
            std::regex_search(line, match, pattern)) {
            values.push_back(std::stol(match[1]));
        }
    }
    return values;
}

class UpgradeEndToEnd : public HeadRunFixture {
  protected:
    // Deterministic image bytes; its padded form is what the head stores.
    std::string MakeImage(std::size_t size, const std::string& name = "fw.bin") {
        m_image.resize(size);
        std::uint32_t x = 12345;
        for (std::size_t i = 0; i < size; ++i) {
            x = x * 1103515245U + 12345U;
            m_image[i] = static_cast<char>(x >> 16U);
        }
        std::ofstream(Path(name), std::ios::binary) << m_image;
        return Path(name);
    }

    ProcessResult Upgrade(std::vector<std::string> args, int limitMs = kRunLimitMs) {
        args.insert(args.begin(), PTZ_UPGRADE_EXE);
        ChildProcess upgrade(args, m_dir, "upgrade");
        return upgrade.Wait(limitMs);
    }
};

TEST_F(UpgradeEndToEnd, EveryProtocolAndSpeedSwitchesAtTheControlSpeedAndSendsAt115200) {
    const std::string image = MakeImage(3 * kBlock + 100);
    int n = 0;
    for (const std::string protocol : {"pelco-d", "pelco-p"}) {
        for (const std::string speed : {"2400", "4800", "9600", "19200"}) {
            SCOPED_TRACE(protocol);
            SCOPED_TRACE(speed);
            const std::string link = StartHead(
                {"--address", "7", "--protocol", protocol, "--speed", speed, "--once"}, n);
            const ProcessResult run =
                Upgrade({"--port", link, "--address", "7", "--protocol", protocol, "--speed", speed,
                         "--ack-delay", "0", "-q", image});
            EXPECT_EQ(run.exitStatus, 0) << run.err;
            EXPECT_EQ(m_heads.back()->Wait(5000).exitStatus, 0);
            EXPECT_TRUE(HeadOut(n) == PaddedImage());
            const std::string log = HeadLog(n);
            EXPECT_EQ(LogValues(log, "command", "baud"), std::vector<long>{std::stol(speed)});
            const auto frameSpeeds = LogValues(log, "frame", "baud");
            EXPECT_EQ(frameSpeeds, std::vector<long>(4, 115200));
            ++n;
        }
    }
}

TEST_F(UpgradeEndToEnd, ABatchTriesEveryHeadNotInUpgradeModeAndNamesEveryHead) {
    const std::string image = MakeImage(5000);
    // Heads on one bus, each switched by its own command.
    std::string link = StartHead({"--address", "1,4,7-8", "--protocol", "pelco-p"}, 0);
    ProcessResult run = Upgrade({"--port", link, "--address", "1,4,7-8", "--protocol", "pelco-p",
                                 "--ack-delay", "0", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(LogValues(HeadLog(0), "done", "blocks").size(), 4U);
    EXPECT_NE(run.err.find("4 head(s) upgraded"), std::string::npos) << run.err;

    // Head 1 is absent: it never entered upgrade mode, so head 2 is still tried.
    link = StartHead({"--address", "2"}, 1);
    run = Upgrade({"--port", link, "--address", "1,2", "--answer-timeout", "0.3", "--ack-delay",
                   "0", "-q", image});
    EXPECT_EQ(run.exitStatus, 4) << run.err;
    EXPECT_NE(run.err.find("head 1 on " + link + ": no connection"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(link + ": head 1 failed (no connection), head 2 upgraded"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(LogValues(HeadLog(1), "done", "blocks").size(), 1U);

    // Head 1 fails after it connected: it may still take frames, so head 2 is not tried.
    link = StartHead({"--address", "1,2", "--fail-at", "0"}, 2);
    run = Upgrade({"--port", link, "--address", "1,2", "--ack-delay", "0", "-q", image});
    EXPECT_EQ(run.exitStatus, 5) << run.err;
    EXPECT_NE(run.err.find(link + ": head 1 failed (upgrade failed), head 2 not tried"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(LogValues(HeadLog(2), "command", "baud").size() == 1U) << "one command only";
}

TEST_F(UpgradeEndToEnd, WithoutTheSwitchOnlyOneAddressIsTaken) {
    const std::string image = MakeImage(5000);
    const std::string link = StartHead({"--no-command"}, 0);
    ProcessResult run =
        Upgrade({"--port", link, "--no-switch", "--address", "1-3", "--ack-delay", "0", image});
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_NE(run.err.find("--no-switch takes one --address"), std::string::npos) << run.err;
    EXPECT_TRUE(LogValues(HeadLog(0), "connect", "baud").empty()) << "no port was opened";
    run = Upgrade({"--port", link, "--no-switch", "--address", "3", "--ack-delay", "0", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("1 head(s) upgraded"), std::string::npos) << run.err;
}

TEST_F(UpgradeEndToEnd, TwoPortsRunInParallelWithASummary) {
    const std::string image = MakeImage(20000);
    const std::string a = StartHead({"--once"}, 0);
    const std::string b = StartHead({"--once", "--speed", "4800"}, 1);
    // Same control speed for both ports: the second head ignores the first head's speed.
    const ProcessResult wrong = Upgrade(
        {"--port", a, "--port", b, "--answer-timeout", "0.5", "--ack-delay", "0", "-q", image});
    EXPECT_EQ(wrong.exitStatus, 4) << wrong.err;
    EXPECT_NE(wrong.err.find("on " + b), std::string::npos);

    m_heads.clear();
    const std::string c = StartHead({"--once"}, 2);
    const std::string d = StartHead({"--once"}, 3);
    const ProcessResult run =
        Upgrade({"--port", c, "--port", d, "--ack-delay", "0", "--json", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(HeadOut(2) == PaddedImage());
    EXPECT_TRUE(HeadOut(3) == PaddedImage());
    EXPECT_NE(run.err.find(c + ": 1 head(s) upgraded"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(d + ": 1 head(s) upgraded"), std::string::npos) << run.err;
    // In parallel, the second port accepts frames before the first has finished.
    const std::string secondFrame = "\"event\":\"frame\",\"port\":\"" + d + "\"";
    const std::string resultOfC = "{\"schema\":1,\"event\":\"result\",\"port\":\"" + c + "\"";
    ASSERT_NE(run.out.find(resultOfC), std::string::npos) << run.out;
    EXPECT_LT(run.out.find(secondFrame), run.out.find(resultOfC)) << run.out;
}

TEST_F(UpgradeEndToEnd, OneSimulatorServesTwoBusesUpgradedAtOnce) {
    const std::string image = MakeImage(2 * kBlock + 100);
    const std::string link = StartHead({"--buses", "2", "--once"}, 0);
    const std::string first = link + "1";
    const std::string second = link + "2";
    const ProcessResult run =
        Upgrade({"--port", first, "--port", second, "--ack-delay", "0", "--json", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(ReadFileText(Path("out0.bin1")) == PaddedImage());
    EXPECT_TRUE(ReadFileText(Path("out0.bin2")) == PaddedImage());
    const std::string secondFrame = "\"event\":\"frame\",\"port\":\"" + second + "\"";
    const std::string resultOfFirst =
        "{\"schema\":1,\"event\":\"result\",\"port\":\"" + first + "\"";
    ASSERT_NE(run.out.find(resultOfFirst), std::string::npos) << run.out;
    EXPECT_LT(run.out.find(secondFrame), run.out.find(resultOfFirst)) << run.out;
    // With --once, the simulator ends once both loaders' ports are closed, every bus upgraded.
    const ProcessResult head = m_heads.front()->Wait(kRunLimitMs);
    EXPECT_EQ(head.exitStatus, 0) << head.err;
}

TEST_F(UpgradeEndToEnd, AnEchoingLineWorksWithEchoInBothWriteModes) {
    const std::string image = MakeImage(2 * kBlock + 7);
    int n = 0;
    for (const std::string mode : {"frame", "byte"}) {
        const std::string link = StartHead({"--echo", "--once"}, n);
        const ProcessResult run = Upgrade(
            {"--port", link, "--echo", "--write-mode", mode, "--ack-delay", "0", "-q", image});
        EXPECT_EQ(run.exitStatus, 0) << mode << ": " << run.err;
        EXPECT_TRUE(HeadOut(n) == PaddedImage()) << mode;
        ++n;
    }
}

TEST_F(UpgradeEndToEnd, EachHeadFaultEndsWithItsExitStatus) {
    const std::string image = MakeImage(4 * kBlock);
    struct Case {
        std::vector<std::string> head;
        std::vector<std::string> loader;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--fail-at", "1"}, {}, 5, "0x86"},
        {{"--timeout-at", "2"}, {}, 6, "0x87"},
        {{"--silent-after", "0"}, {"--answer-timeout", "0.3"}, 7, "no answer to frame 1"},
        {{"--bad-sum-at", "1"}, {"--retries", "0"}, 8, "checksum error for frame 1"},
        {{"--address", "9"}, {"--answer-timeout", "0.2"}, 4, "no connection"},
        {{"--vanish-at", "1"}, {"--answer-timeout", "2"}, 3, "went away"},
        // Recoverable: one checksum error, answers late, noise before every answer.
        {{"--bad-sum-at", "1", "--answer-81-at", "2", "--answer-delay", "50", "--noise", "3"},
         {},
         0,
         ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head[0]);
        const std::string link = StartHead(c.head, n++);
        std::vector<std::string> args = {"--port", link, "--ack-delay", "0", "-q"};
        args.insert(args.end(), c.loader.begin(), c.loader.end());
        args.push_back(image);
        const ProcessResult run = Upgrade(args);
        EXPECT_EQ(run.exitStatus, c.status) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        if (c.status == 0) {
            EXPECT_TRUE(HeadOut(n - 1) == PaddedImage());
        }
        m_heads.back()->Signal(SIGTERM);
    }
}

TEST_F(UpgradeEndToEnd, PortAndImageFailuresExplainThemselves) {
    const std::string image = MakeImage(100);
    ProcessResult run = Upgrade({"--port", Path("no-such-port"), "-q", image});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("serial ports"), std::string::npos) << run.err;

    const std::string link = StartHead({}, 0);
    ChildProcess holder(
        {PTZ_UPGRADE_EXE, "--port", link, "--no-switch", "--answer-timeout", "30", "-q", image},
        m_dir, "holder");
    // Wait until the first loader holds the port (the head answered its connection check).
    for (int i = 0; i < 100 && LogValues(HeadLog(0), "connect", "baud").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run = Upgrade({"--port", link, "--no-switch", "-q", image});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_NE(run.err.find("ptz-upgrade (pid"), std::string::npos) << run.err;
    holder.Signal(SIGINT);
    holder.Wait(5000);

    run = Upgrade({"--port", link, Path("missing.bin")});
    EXPECT_EQ(run.exitStatus, 9);
    EXPECT_NE(run.err.find("missing.bin"), std::string::npos);
    std::ofstream(Path("empty.bin")).close();
    run = Upgrade({"--port", link, Path("empty.bin")});
    EXPECT_EQ(run.exitStatus, 9);
    EXPECT_NE(run.err.find("empty"), std::string::npos);
    run = Upgrade({"--port", link, "--speed", "1200", image});
    EXPECT_EQ(run.exitStatus, 2);
}

TEST_F(UpgradeEndToEnd, EmitWritesTheFrameStreamTheHeadReceives) {
    const std::string image = MakeImage(3 * kBlock + 1);
    ProcessResult run = Upgrade({"--emit", Path("stream.bin"), image});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string stream = ReadFileText(Path("stream.bin"));
    ASSERT_EQ(stream.size(), 4U * 4107U);

    const std::string link = StartHead({"--once"}, 0);
    run = Upgrade({"--port", link, "--ack-delay", "0", "-q", image});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    m_heads.back()->Wait(5000);
    // The head stored every data field; its log has every header field and sum.
    std::string data;
    for (std::size_t at = 0; at < stream.size(); at += 4107) {
        data += stream.substr(at + 8, 4096);
    }
    EXPECT_TRUE(data == HeadOut(0));
    const std::string log = HeadLog(0);
    std::vector<std::string> heads;
    for (const std::string& line : Lines(log)) {
        std::smatch m;
        if (std::regex_search(
                line, m,
                std::regex(
                    R"re("event":"frame".*"address":"(0x[0-9a-f]+)","last":(true|false).*"sum":"(0x[0-9a-f]+)")re"))) {
            heads.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
        }
    }
    std::vector<std::string> emitted;
    for (std::size_t at = 0; at < stream.size(); at += 4107) {
        const auto byte = [&](std::size_t i) {
            return static_cast<unsigned>(static_cast<unsigned char>(stream[at + i]));
        };
        char text[64];
        std::snprintf(text, sizeof(text), "0x%08x %s 0x%06x",
                      (byte(2) << 24U) | (byte(3) << 16U) | (byte(4) << 8U) | byte(5),
                      byte(1) != 0 ? "true" : "false",
                      (byte(4104) << 16U) | (byte(4105) << 8U) | byte(4106));
        emitted.push_back(text);
    }
    EXPECT_EQ(heads, emitted);

    run = Upgrade({"--inspect", image});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("16428 bytes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x00023000    1"), std::string::npos) << run.out;
}

TEST_F(UpgradeEndToEnd, TraceAndJsonDescribeTheWholeDialog) {
    const std::string image = MakeImage(2 * kBlock);
    const std::string link = StartHead({"--bad-sum-at", "1", "--once"}, 0);
    const ProcessResult run = Upgrade(
        {"--port", link, "--json", "--trace", Path("trace.txt"), "--ack-delay", "0", image});
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    std::vector<std::string> events;
    for (const std::string& line : Lines(run.out)) {
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(line, m, std::regex(R"re(^\{"schema":1,"event":"([a-z]+)")re")))
            << line;
        events.push_back(m[1]);
    }
    // The head's result, then the run's: the exit status and every head.
    EXPECT_EQ(events, (std::vector<std::string>{"switched", "connected", "frame", "resent", "frame",
                                                "result", "result"}));
    EXPECT_NE(run.out.find("\"exit\":0,\"message\":\"\",\"heads\":[{\"port\":"), std::string::npos)
        << run.out;

    const auto trace = Lines(ReadFileText(Path("trace.txt")));
    const std::regex shape(R"re(^[0-9]+\.[0-9]{6} \S+ (2400|115200) bit/s \S.*)re");
    for (const std::string& line : trace) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    }
    const auto has = [&](const std::string& pattern) {
        const std::regex re(pattern);
        return std::any_of(trace.begin(), trace.end(),
                           [&](const std::string& line) { return std::regex_search(line, re); });
    };
    EXPECT_TRUE(has(
        R"re( 2400 bit/s sent upgrade-mode command for head 1 \(pelco-d\): FF 01 00 57 00 00 58$)re"));
    EXPECT_TRUE(has(R"re( 115200 bit/s sent connection check: 3F 3F$)re"));
    EXPECT_TRUE(has(R"re(received 0x80 connected)re"));
    EXPECT_TRUE(has(
        R"re(sent frame 1 load address 0x00021000 last 1 sum 0x[0-9a-f]{6}: 73 01 00 02 10 00 10 00 )re"));
    EXPECT_TRUE(has(R"re(received 0x83 checksum error)re"));
    EXPECT_TRUE(has(R"re(sent frame 1 again load address 0x00021000)re"));
    EXPECT_TRUE(has(R"re(received 0x84 upgrade complete)re"));
}

TEST_F(UpgradeEndToEnd, AnOutputNamingTheImageIsRefusedAndTheImageIsUntouched) {
    const std::string image = MakeImage(3 * kBlock + 5);
    const std::string original = ReadFileText(image);
    ASSERT_EQ(::link(image.c_str(), Path("same.bin").c_str()), 0);
    std::filesystem::create_directory(Path("sub"));
    const std::string link = StartHead({}, 0);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", link, "--trace", Path("same.bin"), image},
             {"--port", link, "--trace", Path("sub/../fw.bin"), image},
             {"--emit", Path("same.bin"), image},
             {"--emit", image, "--inspect", Path("sub/../fw.bin")},
         }) {
        const ProcessResult run = Upgrade(args);
        EXPECT_EQ(run.exitStatus, 2) << args[args.size() - 2] << ": " << run.err;
        EXPECT_NE(run.err.find("is the image itself"), std::string::npos) << run.err;
        EXPECT_TRUE(ReadFileText(image) == original) << "the image was changed";
    }
    EXPECT_TRUE(LogValues(HeadLog(0), "command", "baud").empty()) << "no port was opened";
}

TEST_F(UpgradeEndToEnd, AnImageChangedDuringTheRunNeverReachesTheHead) {
    const std::string image = MakeImage(12 * kBlock);
    const std::string original = PaddedImage();
    const std::string link = StartHead({"--pace", "115200", "--once"}, 0);
    ChildProcess upgrade({PTZ_UPGRADE_EXE, "--port", link, "--json", "--ack-delay", "0", image},
                         m_dir, "upgrade");
    ASSERT_TRUE(upgrade.WaitForOutput("\"event\":\"frame\"", 20000));
    // Cut short, then grown past its first size with other bytes.
    std::ofstream(image, std::ios::binary | std::ios::trunc) << std::string(20 * kBlock, 'x');
    const ProcessResult run = upgrade.Wait(kRunLimitMs);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(HeadOut(0) == original) << "the head got bytes of the changed image";
}

TEST_F(UpgradeEndToEnd, AnImageThatIsNotARegularFileIsRefusedAtOnce) {
    const std::string fifo = Path("fifo.bin");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const ProcessResult run = Upgrade({"--port", Path("no-port"), fifo}, 5000);
    EXPECT_EQ(run.exitStatus, 9) << run.err;
    EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
    EXPECT_EQ(Upgrade({"--inspect", "/dev/zero"}, 5000).exitStatus, 9);
}

// Every line valid JSON (which takes valid UTF-8); the last one the run's result.
void ExpectJsonLines(const std::string& out, int exitStatus) {
    const auto lines = Lines(out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
    EXPECT_EQ(lines.back().rfind("{\"schema\":1,\"event\":\"result\",", 0), 0U) << lines.back();
    EXPECT_NE(lines.back().find("\"exit\":" + std::to_string(exitStatus) + ","), std::string::npos)
        << lines.back();
}

TEST_F(UpgradeEndToEnd, WithJsonEveryRunEndsWithOneResultInValidUtf8) {
    const std::string image = MakeImage(kBlock + 1);
    ProcessResult run = Upgrade({"--json", "--port", "COM1", "--speed", "1200", image});
    EXPECT_EQ(run.exitStatus, 2);
    ExpectJsonLines(run.out, 2);
    EXPECT_EQ(Lines(run.out).size(), 1U);
    run = Upgrade({"--json", "--bogus"});
    ExpectJsonLines(run.out, 2);
    run = Upgrade({"--json", "--port", "COM1", Path("missing\xff.bin")});
    EXPECT_EQ(run.exitStatus, 9);
    ExpectJsonLines(run.out, 9);
    EXPECT_NE(run.out.find("missing\xEF\xBF\xBD.bin"), std::string::npos) << run.out;

    // A port whose name is not UTF-8.
    const std::string link = StartHead({"--once"}, 0);
    const std::string odd = Path("port\xff\xfe");
    std::filesystem::create_symlink(link, odd);
    run = Upgrade({"--json", "--port", odd, "--ack-delay", "0", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    ExpectJsonLines(run.out, 0);
    EXPECT_GE(Lines(run.out).size(), 5U) << run.out;
}

TEST_F(UpgradeEndToEnd, CtrlCStopsCleanlyNamingTheFrameReached) {
    const std::string image = MakeImage(64 * kBlock);  // about 23 s at the paced line rate
    const std::string link = StartHead({"--pace", "115200"}, 0);
    ChildProcess upgrade({PTZ_UPGRADE_EXE, "--port", link, "--json", "--ack-delay", "0", image},
                         m_dir, "upgrade");
    ASSERT_TRUE(upgrade.WaitForOutput("\"event\":\"frame\"", 20000));
    upgrade.Signal(SIGINT);
    const ProcessResult run = upgrade.Wait(5000);
    EXPECT_EQ(run.exitStatus, 130) << run.err;
    EXPECT_TRUE(std::regex_search(
        run.err,
        std::regex("stopped on request: head 1 on .*, at frame [0-9]+ of 64; the port is closed")))
        << run.err;
    // The port was closed: another loader can open it at once.
    const ProcessResult again = Upgrade({"--port", link, "--no-switch", "--answer-timeout", "0.2",
                                         "-q", MakeImage(10, "small.bin")});
    EXPECT_NE(again.exitStatus, 3) << again.err;
}

TEST_F(UpgradeEndToEnd, ListPortsAndTheSimulatedHead) {
    ProcessResult run = Upgrade({"--list-ports"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_FALSE(run.out.empty());

    const std::string image = MakeImage(3000);
    run = Upgrade(
        {"--port", "sim", "--protocol", "pelco-p", "--speed", "4800", "--ack-delay", "0", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("listens on /dev/pts/"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("1 upgrade-mode command(s) at 4800 bit/s"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("1 frame(s) at 115200 bit/s"), std::string::npos) << run.err;

    run = Upgrade({"--port", "sim", "--address", "3-4", "--ack-delay", "0", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("2 upgrade(s) completed"), std::string::npos) << run.err;
}

}  // namespace
