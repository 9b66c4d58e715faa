// ptz-upgrade through a real ser2net on loopback in front of ptz-headsim: rfc2217:// with the
// switch at every control speed, images of 0xFF, socket://, parallel servers, a server that dies
// mid-transfer and one that is not there.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "head_run_fixture.h"
#include "port_opening.h"
#include "process_runner.h"
#include "ser2net_server.h"

namespace {

constexpr std::size_t kBlock = 4096;
constexpr int kRunLimitMs = 60000;

// Every value of a numeric field in the headsim log lines of one event.
std::vector<long> LogValues(const std::string& log, const std::string& event,
                            const std::string& field) {
    std::vector<long> values;
    const std::regex pattern("\"" + field + "\":([0-9]+)");
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos &&
            std::regex_search(line, match, pattern)) {
            values.push_back(std::stol(match[1]));
        }
    }
    return values;
}

class NetworkEndToEnd : public HeadRunFixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(::access(CSer2net::kProgram, X_OK), 0)
            << "ser2net is missing: run scripts/install-deps.sh as root";
        HeadRunFixture::SetUp();
    }
    void TearDown() override {
        m_servers.clear();
        HeadRunFixture::TearDown();
    }

    // Deterministic bytes, or all 0xFF; the padded form is what the head stores.
    std::string MakeImage(std::size_t size, bool allFf = false) {
        m_image.resize(size);
        std::uint32_t x = 4711;
        for (std::size_t i = 0; i < size; ++i) {
            x = x * 1103515245U + 12345U;
            m_image[i] = allFf ? '\xFF' : static_cast<char>(x >> 16U);
        }
        std::ofstream(Path("fw.bin"), std::ios::binary) << m_image;
        return Path("fw.bin");
    }

    CSer2net& StartServer(std::vector<Ser2netPort> ports) {
        m_servers.push_back(std::make_unique<CSer2net>(
            m_dir, std::move(ports), "ser2net" + std::to_string(m_servers.size())));
        EXPECT_TRUE(m_servers.back()->Started()) << "ser2net did not start listening";
        return *m_servers.back();
    }

    ProcessResult Upgrade(std::vector<std::string> args, int limitMs = kRunLimitMs) {
        args.insert(args.begin(), PTZ_UPGRADE_EXE);
        ChildProcess upgrade(args, m_dir, "upgrade");
        return upgrade.Wait(limitMs);
    }

    // The head received the image whole, the command at `speed` and every frame at 115200.
    void ExpectUpgraded(int n, long speed) {
        EXPECT_TRUE(HeadOut(n) == PaddedImage()) << "the head stored another image";
        const std::string log = HeadLog(n);
        EXPECT_EQ(LogValues(log, "command", "baud"), std::vector<long>{speed});
        const auto frames = LogValues(log, "frame", "baud");
        EXPECT_EQ(frames, std::vector<long>(PaddedImage().size() / kBlock, 115200));
    }

    std::vector<std::unique_ptr<CSer2net>> m_servers;
};

TEST_F(NetworkEndToEnd, Rfc2217SwitchesAtEveryControlSpeedAndSendsEveryFrameAt115200) {
    const std::string image = MakeImage(3 * kBlock + 100);
    int n = 0;
    for (const std::string speed : {"2400", "4800", "9600", "19200"}) {
        SCOPED_TRACE(speed);
        const std::string link = StartHead({"--address", "7", "--speed", speed, "--once"}, n);
        // The device starts at a speed neither phase uses, with a banner before the Telnet
        // negotiation: the loader must set the line itself and ignore the banner.
        CSer2net& server = StartServer({{link, true, "38400e71", true, "ser2net here\\r\\n"}});
        const ProcessResult run = Upgrade({"--port", server.Name(0), "--address", "7", "--speed",
                                           speed, "--ack-delay", "0", "-q", image});
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(m_heads.back()->Wait(5000).exitStatus, 0);
        ExpectUpgraded(n, std::stol(speed));
        ++n;
    }
}

// The head reads at 2400 bit/s, so that bytes still on their way when the server changes the
// speed would be seen at the new one: the change waits until the command has left the UART.
TEST_F(NetworkEndToEnd, ASpeedChangeRightAfterTheCommandLeavesItWhole) {
    const std::string link = StartHead({"--pace", "2400"});
    CSer2net& server = StartServer({{link}});
    CSerialLink port;
    const PortOpeningResult opened = OpenPortForUpgrade(port, server.Name(0), 2400);
    ASSERT_TRUE(opened.Succeeded()) << opened.error.message;
    const std::uint8_t command[] = {0xFF, 0x01, 0x00, 0x57, 0x00, 0x00, 0x58};
    ASSERT_EQ(port.Write(command, sizeof command, opened.handle), sizeof command);
    port.SetParams(server.Name(0), 115200, 8, 0, 0);
    ASSERT_TRUE(port.Configure(opened.handle)) << port.LastError().message;
    port.Close(opened.handle);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string log = HeadLog();
    EXPECT_EQ(LogValues(log, "command", "baud"), std::vector<long>{2400}) << log;
    EXPECT_NE(log.find("\"accepted\":true"), std::string::npos) << log;
}

TEST_F(NetworkEndToEnd, AnImageOfOnly0xFfArrivesExact) {
    const std::string image = MakeImage(2 * kBlock + 17, true);
    const std::string link = StartHead({"--once"});
    CSer2net& server = StartServer({{link}});
    const ProcessResult run = Upgrade({"--port", server.Name(0), "--ack-delay", "0", "-q", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(m_heads.back()->Wait(5000).exitStatus, 0);
    ExpectUpgraded(0, 2400);
}

TEST_F(NetworkEndToEnd, ARawSocketNeedsNoSwitchAndIsRefusedWithIt) {
    const std::string image = MakeImage(2 * kBlock);
    const std::string link = StartHead({"--no-command", "--once"});
    Ser2netPort raw{link};
    raw.rfc2217 = false;
    raw.line = "115200n81";
    CSer2net& server = StartServer({raw});

    const auto start = std::chrono::steady_clock::now();
    ProcessResult run = Upgrade({"--port", server.Name(0), "-q", image});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("Use rfc2217:// (the server must speak RFC 2217), or --no-switch"),
              std::string::npos)
        << run.err;

    run = Upgrade({"--port", server.Name(0), "--no-switch", "--ack-delay", "0", "-q", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(m_heads.back()->Wait(5000).exitStatus, 0);
    EXPECT_TRUE(HeadOut() == PaddedImage());
    EXPECT_EQ(LogValues(HeadLog(), "frame", "baud"), std::vector<long>(2, 115200));
}

TEST_F(NetworkEndToEnd, TwoServersInParallelOverIpv4AndIpv6) {
    const std::string image = MakeImage(4 * kBlock + 5);
    CSer2net& first = StartServer({{StartHead({"--speed", "9600", "--once"}, 0)}});
    Ser2netPort overIpv6{StartHead({"--speed", "9600", "--once"}, 1)};
    overIpv6.host = "::1";
    CSer2net& second = StartServer({overIpv6});
    const ProcessResult run = Upgrade({"--port", first.Name(0), "--port", second.Name(0), "--speed",
                                       "9600", "--ack-delay", "0", "-q", image});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(m_heads[static_cast<std::size_t>(n)]->Wait(5000).exitStatus, 0);
        ExpectUpgraded(n, 9600);
    }
}

TEST_F(NetworkEndToEnd, AServerKilledMidTransferIsAClearFailureAtOnce) {
    const std::string image = MakeImage(40 * kBlock);
    const std::string link = StartHead({"--pace", "115200"});
    CSer2net& server = StartServer({{link, true, "9600n81", false, ""}});
    ChildProcess upgrade({PTZ_UPGRADE_EXE, "--port", server.Name(0), "--json", "--ack-delay", "0",
                          "--answer-timeout", "30", image},
                         m_dir, "upgrade");
    ASSERT_TRUE(upgrade.WaitForOutput("\"event\":\"frame\"", 20000));
    server.Kill();
    const auto killed = std::chrono::steady_clock::now();
    const ProcessResult run = upgrade.Wait(kRunLimitMs);
    // Well before the answer time limit: the closed connection itself is the news.
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
    EXPECT_EQ(run.exitStatus, 3) << run.err;
    EXPECT_NE(run.err.find("closed the connection"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("\"status\":\"upgrade complete\""), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Path("out0.bin")));
}

TEST_F(NetworkEndToEnd, NothingListeningEndsAtOnceWithExitStatus3) {
    const int port = FreeLoopbackPort();
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult run =
        Upgrade({"--port", "rfc2217://127.0.0.1:" + std::to_string(port), MakeImage(100)});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_NE(run.err.find("Connecting to 127.0.0.1:" + std::to_string(port) +
                           ": connection refused — is the serial server listening on that port?"),
              std::string::npos)
        << run.err;
}

}  // namespace
