// ptz-upgrade against network serial servers on loopback that turn hostile: a flood of data, of
// Telnet option commands, a subnegotiation without end, a line of noise stopped by Ctrl-C; and
// a name service that never answers. Each run ends soon, in little memory, saying what the
// server did.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "head_run_fixture.h"
#include "process_runner.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kComPort = 44;
// However much a server sends, the loader stays this small (peak resident set).
constexpr long kMemoryLimitKiB = 64L * 1024;

enum class Hostility {
    DataFlood,              // data without pause, once the line is set (rfc2217) or at once
    OptionFlood,            // IAC WILL ECHO without pause instead of answering a setting
    EndlessSubnegotiation,  // IAC SB COM-PORT-OPTION and never IAC SE, instead of an answer
    Noise,                  // 100 bytes every 10 ms: below a flood, but never silent
};

// One serial server's port on loopback: agrees to the Telnet options, then turns hostile.
class CHostileServer {
  public:
    CHostileServer(Hostility hostility, bool telnet) : m_hostility(hostility), m_telnet(telnet) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(m_listen, 4), 0);
        EXPECT_EQ(::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size), 0);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CHostileServer() {
        m_quit = true;
        m_thread.join();
        ::close(m_listen);
    }
    CHostileServer(const CHostileServer&) = delete;
    CHostileServer& operator=(const CHostileServer&) = delete;

    int Port() const { return m_port; }

  private:
    void Serve() {
        while (!m_quit) {
            pollfd listen{m_listen, POLLIN, 0};
            if (::poll(&listen, 1, 20) == 1) {
                const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                ServeConnection(fd);
                ::close(fd);
            }
        }
    }

    void ServeConnection(int fd) {
        Bytes out;
        if (m_telnet) {
            out = {kIac, 253, kComPort, kIac, 251, 0, kIac, 253, 0};  // DO COM, WILL/DO BINARY
        }
        bool hostile = !m_telnet;
        Bytes pending;
        while (!m_quit) {
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                return;
            }
            if (got > 0 && !hostile) {
                pending.insert(pending.end(), buffer, buffer + got);
                hostile = Answer(pending, out);
                if (hostile && m_hostility == Hostility::EndlessSubnegotiation) {
                    out.insert(out.end(), {kIac, kSb, kComPort});
                }
            }
            if (hostile && out.size() < 4096) {
                Refill(out);
            }
            const ssize_t sent = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN) {
                return;
            }
            out.erase(out.begin(), out.begin() + std::max<ssize_t>(sent, 0));
            pollfd ready{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
            (void)::poll(&ready, 1, 10);
        }
    }

    // Answers each setting in what the client sent (IAC SB COM-PORT-OPTION code value IAC SE
    // comes back with code + 100) while friendly; true once hostile.
    bool Answer(Bytes& pending, Bytes& out) const {
        for (;;) {
            const Bytes start{kIac, kSb, kComPort};
            const Bytes end{kIac, kSe};
            const auto from =
                std::search(pending.begin(), pending.end(), start.begin(), start.end());
            const auto to = std::search(from, pending.end(), end.begin(), end.end());
            if (to == pending.end()) {
                return false;
            }
            if (m_hostility != Hostility::DataFlood) {
                return true;
            }
            const std::uint8_t code = from[3];
            out.insert(out.end(), {kIac, kSb, kComPort, static_cast<std::uint8_t>(code + 100)});
            out.insert(out.end(), from + 4, to + 2);
            pending.erase(pending.begin(), to + 2);
            if (code == 12) {  // the purge, the last setting: the line is set
                return true;
            }
        }
    }

    void Refill(Bytes& out) const {
        switch (m_hostility) {
            case Hostility::DataFlood:
            case Hostility::EndlessSubnegotiation:
                out.insert(out.end(), 65536, 0x42);
                break;
            case Hostility::OptionFlood:
                for (int i = 0; i < 20000; ++i) {
                    out.insert(out.end(), {kIac, 251, 1});
                }
                break;
            case Hostility::Noise:
                std::this_thread::sleep_for(10ms);
                out.insert(out.end(), 100, 0x55);
                break;
        }
    }

    Hostility m_hostility;
    bool m_telnet;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

struct HostileCase {
    const char* name;
    Hostility hostility;
    bool telnet;
    bool interrupt;  // Ctrl-C a second after the start
    int exitStatus;
    const char* message;  // what stderr holds; %s stands for the port's name
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

class HostileServer : public HeadRunFixture, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileServer, EndsSoonInLittleMemorySayingWhatTheServerDid) {
    const HostileCase& c = GetParam();
    CHostileServer server(c.hostility, c.telnet);
    const std::string port = std::string(c.telnet ? "rfc2217" : "socket") +
                             "://127.0.0.1:" + std::to_string(server.Port());
    std::ofstream(Path("fw.bin"), std::ios::binary) << std::string(100, 'x');
    std::vector<std::string> args = {PTZ_UPGRADE_EXE, "--port", port, "--ack-delay", "0"};
    if (!c.telnet) {
        args.emplace_back("--no-switch");
    }
    args.push_back(Path("fw.bin"));
    ChildProcess upgrade(args, m_dir, "upgrade");
    auto since = Clock::now();
    if (c.interrupt) {
        std::this_thread::sleep_for(1s);
        upgrade.Signal(SIGINT);
        since = Clock::now();
    }
    const ProcessResult run = upgrade.Wait(30000);
    EXPECT_LT(Clock::now() - since, 3s);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
    std::string message = c.message;
    if (const auto at = message.find("%s"); at != std::string::npos) {
        message.replace(at, 2, port);
    }
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_GT(run.peakRssKiB, 0);
    EXPECT_LT(run.peakRssKiB, kMemoryLimitKiB);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileServer,
    ::testing::Values(
        HostileCase{"raw_data_flood", Hostility::DataFlood, false, false, 3,
                    "Reading from '%s': the serial server sent data faster than a line at "
                    "115200 bit/s carries (16 KiB beyond it)"},
        HostileCase{"rfc2217_data_flood", Hostility::DataFlood, true, false, 3,
                    "Reading from '%s': the serial server sent data faster than a line at "
                    "2400 bit/s carries (16 KiB beyond it)"},
        HostileCase{"option_flood", Hostility::OptionFlood, true, false, 3,
                    "Configuring '%s': the serial server sent Telnet commands without pause "
                    "(over 256, then more than 16 a second)"},
        HostileCase{"endless_subnegotiation", Hostility::EndlessSubnegotiation, true, false, 3,
                    "Configuring '%s': the serial server sent a Telnet subnegotiation of over 256 "
                    "bytes that does not end (no IAC SE)"},
        HostileCase{"raw_noise_then_ctrl_c", Hostility::Noise, false, true, 130,
                    "stopped on request: head 1 on %s"}),
    [](const auto& info) { return std::string(info.param.name); });

class NameLookup : public HeadRunFixture {};

// The look-up of a name whose name service never answers (the shim's) is held to the connect
// time limit of 5 s.
TEST_F(NameLookup, ANameServiceThatNeverAnswersEndsWithTheConnectTimeLimit) {
    std::ofstream(Path("fw.bin"), std::ios::binary) << std::string(100, 'x');
    const char* asan = std::getenv("ASAN_OPTIONS");  // NOLINT(concurrency-mt-unsafe)
    ChildProcess upgrade(
        {PTZ_UPGRADE_EXE, "--port", "rfc2217://head.blackhole.test:4001", Path("fw.bin")}, m_dir,
        "upgrade",
        {std::string("LD_PRELOAD=") + PTZ_SLOW_LOOKUP_SHIM,
         // The shim comes before a sanitizer's runtime.
         std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
             ":verify_asan_link_order=0"});
    const auto start = Clock::now();
    const ProcessResult run = upgrade.Wait(30000);
    EXPECT_GT(Clock::now() - start, 4s);
    EXPECT_LT(Clock::now() - start, 8s);
    EXPECT_EQ(run.exitStatus, 3) << run.err;
    EXPECT_NE(run.err.find("Connecting to head.blackhole.test:4001: the name "
                           "'head.blackhole.test' did not resolve within 5 s (no answer from the "
                           "name service)"),
              std::string::npos)
        << run.err;
}

}  // namespace
