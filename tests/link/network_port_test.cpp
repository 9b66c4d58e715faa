// Network serial ports: the Telnet/RFC 2217 codec alone, then CSerialLink on rfc2217:// and
// socket:// names against a tiny scripted server on loopback that speaks its own Telnet.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network_port.h"
#include "network_port_name.h"
#include "rfc2217_client.h"
#include "serial_link.h"
#include "telnet_codec.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct DecodeCase {
    const char* name;
    std::vector<Bytes> pieces;  // fed one after another
    Bytes data;
    std::vector<TelnetCommand> commands;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << c.name;
}

class TelnetDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TelnetDecoding, SplitsDataFromCommandsInPiecesOfAnySize) {
    CTelnetDecoder decoder;
    Bytes data;
    std::vector<TelnetCommand> commands;
    for (const Bytes& piece : GetParam().pieces) {
        decoder.Feed(piece.data(), piece.size(), data, commands);
    }
    EXPECT_EQ(data, GetParam().data);
    ASSERT_EQ(commands.size(), GetParam().commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].verb, GetParam().commands[i].verb);
        EXPECT_EQ(commands[i].option, GetParam().commands[i].option);
        EXPECT_EQ(commands[i].payload, GetParam().commands[i].payload);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetDecoding,
    ::testing::Values(
        DecodeCase{"escaped_ff", {{0x41, 0xFF, 0xFF, 0x42}}, {0x41, 0xFF, 0x42}, {}},
        DecodeCase{"escape_split", {{0xFF}, {0xFF}, {0xFF}, {0xFF, 0x00}}, {0xFF, 0xFF, 0x00}, {}},
        DecodeCase{
            "verb_split", {{0x01, 0xFF}, {0xFD}, {0x2C, 0x02}}, {0x01, 0x02}, {{253, 44, {}}}},
        DecodeCase{"nop_and_ga_dropped", {{0xFF, 0xF1, 0x05, 0xFF, 0xF9}}, {0x05}, {}},
        DecodeCase{"subnegotiation_with_escaped_ff",
                   {{0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x01, 0xFF}, {0xFF, 0xC2, 0xFF, 0xF0, 0x07}},
                   {0x07},
                   {{250, 44, {0x65, 0x00, 0x01, 0xFF, 0xC2}}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct NameCase {
    const char* name;
    bool valid;
    const char* hostAndPort;  // as messages name the server
};

void PrintTo(const NameCase& c, std::ostream* out) {
    *out << c.name;
}

class NetworkPortNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(NetworkPortNames, ParseAsPyserialSpellsThem) {
    std::string error;
    const auto address = ParseNetworkPortName(GetParam().name, error);
    EXPECT_TRUE(IsNetworkPortName(GetParam().name));
    ASSERT_EQ(address.has_value(), GetParam().valid) << error;
    if (address) {
        EXPECT_EQ(address->HostAndPort(), GetParam().hostAndPort);
    } else {
        EXPECT_NE(error.find("the forms are rfc2217://HOST:PORT and socket://HOST:PORT"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkPortNames,
    ::testing::Values(NameCase{"rfc2217://10.0.0.5:4001", true, "10.0.0.5:4001"},
                      NameCase{"RFC2217://serial-box.local:23", true, "serial-box.local:23"},
                      NameCase{"socket://[::1]:65535", true, "[::1]:65535"},
                      NameCase{"rfc2217://::1:4001", false, ""},
                      NameCase{"rfc2217://[::1]4001", false, ""},
                      NameCase{"rfc2217://host", false, ""}, NameCase{"rfc2217://:4001", false, ""},
                      NameCase{"socket://host:0", false, ""},
                      NameCase{"socket://host:65536", false, ""},
                      NameCase{"socket://host:40x1", false, ""},
                      NameCase{"rfc2217://host:4001/path", false, ""}));

TEST(TelnetEncoding, EscapesEveryFfAndFramesComPortCommands) {
    Bytes out;
    const Bytes data{0xFF, 0x00, 0xFF, 0xFF};
    AppendTelnetData(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(ComPortCommand(1, {0x00, 0x01, 0xC2, 0x00}),
              (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0}));
    EXPECT_EQ(ComPortCommand(1, {0x00, 0x00, 0x00, 0xFF}),
              (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xF0}));
}

TEST(Rfc2217ClientNegotiation, AsksOnceAnswersOnceAndNamesRefusals) {
    CRfc2217Client client;
    EXPECT_EQ(client.Start(), (Bytes{0xFF, 0xFB, 0x2C, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00}));
    Bytes data;
    Bytes replies;
    // The server wants echo and suppress-go-ahead, agrees to binary both ways and the option.
    const Bytes server{0xFF, 0xFB, 0x01, 0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x00,
                       0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C, 0xFF, 0xFB, 0x01};
    client.Feed(server.data(), server.size(), data, replies);
    EXPECT_EQ(replies, (Bytes{0xFF, 0xFE, 0x01, 0xFF, 0xFD, 0x03}));
    EXPECT_TRUE(client.Negotiated());
    EXPECT_TRUE(client.Refusal().empty());

    CRfc2217Client refused;
    (void)refused.Start();
    const Bytes dont{0xFF, 0xFE, 0x2C};
    refused.Feed(dont.data(), dont.size(), data, replies);
    EXPECT_FALSE(refused.Negotiated());
    EXPECT_EQ(refused.Refusal(),
              "the COM-PORT-OPTION of RFC 2217 (it answered DONT COM-PORT-OPTION)");
}

// How the scripted server behaves.
struct ServerScript {
    bool negotiate = true;             // answer the options at all
    bool refuseComPort = false;        // DONT COM-PORT-OPTION
    bool acknowledge = true;           // answer settings
    std::optional<Bytes> speedAnswer;  // the line speed it claims instead of the one asked for
    Bytes banner;                      // sent at once, before any negotiation
    bool readData = true;              // false: never reads after the negotiation (a held line)
};

// A script with one change from the default.
template <typename Change>
ServerScript Script(Change change) {
    ServerScript script;
    change(script);
    return script;
}

// One connection on a loopback port; its own Telnet parsing, so that it checks the client's.
class FakeComPortServer {
  public:
    explicit FakeComPortServer(ServerScript script) : m_script(std::move(script)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        if (!m_script.readData) {
            // A small window, inherited by the connection: a held line fills up soon.
            const int bytes = 65536;
            (void)::setsockopt(m_listen, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(m_listen, 1), 0);
        EXPECT_EQ(::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size), 0);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeComPortServer() {
        m_quit = true;
        m_thread.join();
        ::close(m_listen);
    }
    FakeComPortServer(const FakeComPortServer&) = delete;
    FakeComPortServer& operator=(const FakeComPortServer&) = delete;

    std::string Name(const char* scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }
    // Raw bytes to send on the connection, as they are.
    void Send(const Bytes& bytes) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_outbox.insert(m_outbox.end(), bytes.begin(), bytes.end());
    }
    void Hang() { m_hangUp = true; }
    // Data bytes received (after unescaping) and the settings asked for, as code + value.
    Bytes Data() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_data;
    }
    std::vector<Bytes> Settings() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_settings;
    }

  private:
    void Serve() {
        pollfd listen{m_listen, POLLIN, 0};
        while (!m_quit && ::poll(&listen, 1, 20) == 0) {
        }
        if (m_quit) {
            return;
        }
        const int fd = ::accept(m_listen, nullptr, nullptr);
        SendNow(fd, m_script.banner);
        while (!m_quit && !m_hangUp) {
            Bytes out;
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                out.swap(m_outbox);
            }
            SendNow(fd, out);
            if (!m_script.readData && m_configured) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            pollfd in{fd, POLLIN, 0};
            std::uint8_t buffer[4096];
            if (::poll(&in, 1, 10) <= 0) {
                continue;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            for (ssize_t i = 0; i < got; ++i) {
                Take(fd, buffer[i]);
            }
        }
        Bytes last;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            last.swap(m_outbox);
        }
        SendNow(fd, last);
        ::close(fd);
    }

    static void SendNow(int fd, const Bytes& bytes) {
        if (!bytes.empty()) {
            (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
    }

    void Take(int fd, std::uint8_t byte) {
        m_pending.push_back(byte);
        const Bytes& p = m_pending;
        if (p[0] != 0xFF) {
            Keep(p[0]);
        } else if (p.size() < 2) {
            return;
        } else if (p[1] == 0xFF) {
            Keep(0xFF);
        } else if (p[1] >= 0xFB && p[1] <= 0xFE) {
            if (p.size() < 3) {
                return;
            }
            Answer(fd, p[1], p[2]);
        } else if (p[1] == 0xFA) {
            if (p.size() < 4 || p[p.size() - 2] != 0xFF || p.back() != 0xF0) {
                return;  // a test's values hold no escaped 0xFF before IAC SE
            }
            Setting(fd, Bytes(p.begin() + 3, p.end() - 2));
        }
        m_pending.clear();
    }

    void Keep(std::uint8_t byte) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_data.push_back(byte);
    }

    void Answer(int fd, std::uint8_t verb, std::uint8_t option) {
        if (!m_script.negotiate) {
            return;
        }
        if (verb == 0xFB && option == 0x2C) {  // WILL COM-PORT-OPTION
            SendNow(fd,
                    {0xFF, static_cast<std::uint8_t>(m_script.refuseComPort ? 0xFE : 0xFD), 0x2C});
            // Unasked notices that the client must ignore: line state, modem state.
            SendNow(fd, {0xFF, 0xFA, 0x2C, 106, 0x60, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 107, 0x30, 0xFF,
                         0xF0});
        } else if (verb == 0xFB || verb == 0xFD) {  // binary both ways
            SendNow(fd, {0xFF, static_cast<std::uint8_t>(verb == 0xFB ? 0xFD : 0xFB), option});
        }
    }

    void Setting(int fd, const Bytes& setting) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_settings.push_back(setting);
        }
        if (!m_script.acknowledge) {
            return;
        }
        Bytes answer{0xFF, 0xFA, 0x2C, static_cast<std::uint8_t>(setting[0] + 100)};
        const Bytes value = setting[0] == 1 && m_script.speedAnswer
                                ? *m_script.speedAnswer
                                : Bytes(setting.begin() + 1, setting.end());
        answer.insert(answer.end(), value.begin(), value.end());
        answer.insert(answer.end(), {0xFF, 0xF0});
        SendNow(fd, answer);
        m_configured = m_configured || setting[0] == 12;
    }

    ServerScript m_script;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_quit{false};
    std::atomic<bool> m_hangUp{false};
    std::atomic<bool> m_configured{false};  // the purge, the last setting, was answered
    std::mutex m_mutex;
    Bytes m_outbox;
    Bytes m_data;
    std::vector<Bytes> m_settings;
    Bytes m_pending;
};

class NetworkPort : public ::testing::Test {
  protected:
    // The opening sequence of both programs; the handle, or invalid with the error kept.
    PortHandle OpenAt(const std::string& name, std::uint32_t baudRate = 115200) {
        link.SetParams(name, baudRate, 8, 0, 0);
        const PortHandle handle = link.Open();
        if (handle == kInvalidPortHandle) {
            return handle;
        }
        EXPECT_TRUE(link.SetTimeouts(600000, handle));
        if (!link.Configure(handle)) {
            link.Close(handle);
            return kInvalidPortHandle;
        }
        EXPECT_TRUE(link.CreateEvents());
        return handle;
    }

    // Reads what arrives within the time, as the receive worker does.
    Bytes ReadFor(PortHandle handle, std::size_t count, std::chrono::milliseconds limit = 2s) {
        Bytes got;
        const auto deadline = Clock::now() + limit;
        while (got.size() < count && Clock::now() < deadline) {
            if (link.WaitForInput(handle, 100) != PortWaitResult::DataArrived) {
                continue;
            }
            std::uint8_t buffer[4096];
            const std::size_t n = link.Read(buffer, sizeof buffer, handle);
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    static double Seconds(Clock::time_point since) {
        return std::chrono::duration<double>(Clock::now() - since).count();
    }

    CSerialLink link;
};

TEST_F(NetworkPort, SetsTheLineAndCarriesEveryFfExactBothWays) {
    FakeComPortServer server(Script([](ServerScript& s) { s.banner = {'h', 'i', '\r', '\n'}; }));
    const PortHandle handle = OpenAt(server.Name(), 9600);
    ASSERT_NE(handle, kInvalidPortHandle) << link.LastError().message;
    // Speed 9600, 8 bits, no parity, one stop bit, XON/XOFF, purge both buffers.
    EXPECT_EQ(
        server.Settings(),
        (std::vector<Bytes>{{1, 0x00, 0x00, 0x25, 0x80}, {2, 8}, {3, 1}, {4, 1}, {5, 2}, {12, 3}}));
    const Bytes frame{0xFF, 0x01, 0xFF, 0xFF, 0x00};
    const auto start = Clock::now();
    ASSERT_EQ(link.Write(frame.data(), frame.size(), handle), frame.size());
    // Five bytes at 9600 bit/s take 5.2 ms on the server's wire.
    EXPECT_GE(Seconds(start), 0.005);
    server.Send({0xFF, 0xFF, 0x84, 0xFF, 0xFA, 0x2C, 106, 0x10, 0xFF, 0xF0, 0xFF, 0xFF});
    EXPECT_EQ(ReadFor(handle, 3), (Bytes{0xFF, 0x84, 0xFF}));  // the banner is gone
    for (int i = 0; i < 100 && server.Data() != frame; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(server.Data(), frame);
    ASSERT_TRUE(link.SetSoftwareFlowControl(handle, false)) << link.LastError().message;
    EXPECT_EQ(server.Settings().back(), (Bytes{5, 1}));
    link.Close(handle);
}

struct RefusalCase {
    const char* name;
    ServerScript script;
    const char* message;  // what LastError must contain
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class NetworkPortRefusal : public NetworkPort, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(NetworkPortRefusal, FailsWithinTheTimeLimitNamingWhatTheServerDidNotConfirm) {
    FakeComPortServer server(GetParam().script);
    const auto start = Clock::now();
    EXPECT_EQ(OpenAt(server.Name()), kInvalidPortHandle);
    EXPECT_LT(Seconds(start), 4.5);
    EXPECT_NE(link.LastError().message.find(GetParam().message), std::string::npos)
        << link.LastError().message;
    EXPECT_EQ(link.LastError().kind, PortErrorKind::BadSetting);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetworkPortRefusal,
    ::testing::Values(
        RefusalCase{"never_negotiates", Script([](ServerScript& s) { s.negotiate = false; }),
                    "the server did not complete the Telnet negotiation within 3 s (no answer "
                    "for COM-PORT-OPTION (DO COM-PORT-OPTION), binary mode from the server "
                    "(WILL BINARY), binary mode to the server (DO BINARY))"},
        RefusalCase{"refuses_the_option", Script([](ServerScript& s) { s.refuseComPort = true; }),
                    "the server refused the COM-PORT-OPTION of RFC 2217"},
        RefusalCase{"never_acknowledges", Script([](ServerScript& s) { s.acknowledge = false; }),
                    "the server did not confirm the line speed (115200 bit/s) within 3 s"},
        RefusalCase{"another_speed", Script([](ServerScript& s) {
                        s.speedAnswer = Bytes{0x00, 0x00, 0x25, 0x80};
                    }),
                    "the server refused the line speed (115200 bit/s): it answered 9600 bit/s"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetworkPort, NothingListeningFailsAtOnceWithTheServersAddress) {
    int port = 0;
    {
        FakeComPortServer server({});  // a port that was free a moment ago
        port = std::stoi(server.Name().substr(server.Name().rfind(':') + 1));
    }
    const auto start = Clock::now();
    EXPECT_EQ(OpenAt("rfc2217://127.0.0.1:" + std::to_string(port)), kInvalidPortHandle);
    EXPECT_LT(Seconds(start), 1.0);
    EXPECT_EQ(link.LastError().message,
              "Connecting to 127.0.0.1:" + std::to_string(port) +
                  ": connection refused — is the serial server listening on that port?");
    EXPECT_EQ(OpenAt("rfc2217://127.0.0.1"), kInvalidPortHandle);
    EXPECT_NE(link.LastError().message.find("the forms are rfc2217://HOST:PORT"),
              std::string::npos);
}

TEST_F(NetworkPort, AServerThatHangsUpIsNoticedWithinASecondByEveryWait) {
    FakeComPortServer server({});
    const PortHandle handle = OpenAt(server.Name());
    ASSERT_NE(handle, kInvalidPortHandle) << link.LastError().message;
    EXPECT_EQ(link.WaitForInput(handle, 100), PortWaitResult::TimedOut);
    link.CancelWait(handle);
    EXPECT_EQ(link.WaitForInput(handle, 1000), PortWaitResult::Cancelled);
    server.Send({0x55});
    server.Hang();
    // A byte sent before the hang-up is still read; then the connection is reported gone.
    EXPECT_EQ(ReadFor(handle, 1), Bytes{0x55});
    const auto start = Clock::now();
    EXPECT_EQ(link.WaitForInput(handle, 1000), PortWaitResult::Failed);
    EXPECT_LT(Seconds(start), 1.0);
    EXPECT_EQ(link.QueuedInput(handle), -1);
    EXPECT_EQ(link.LastError().kind, PortErrorKind::Vanished);
    EXPECT_NE(link.LastError().message.find("closed the connection — another client may have "
                                            "taken the port"),
              std::string::npos);
    const Bytes byte{0x01};
    EXPECT_EQ(link.Write(byte.data(), byte.size(), handle), 0U);
    link.Close(handle);
}

TEST_F(NetworkPort, ARawSocketCarriesBytesAsTheyAre) {
    FakeComPortServer server(Script([](ServerScript& s) { s.negotiate = false; }));
    const PortHandle handle = OpenAt(server.Name("socket"));
    ASSERT_NE(handle, kInvalidPortHandle) << link.LastError().message;
    const Bytes frame{0xFF, 0xFB, 0x2C, 0x00};
    ASSERT_EQ(link.Write(frame.data(), frame.size(), handle), frame.size());
    server.Send({0xFF, 0xFF, 0x84});
    EXPECT_EQ(ReadFor(handle, 3), (Bytes{0xFF, 0xFF, 0x84}));
    link.Close(handle);
    EXPECT_TRUE(server.Settings().empty());
}

TEST(NetworkPortWrite, AHeldLineEndsATimedWriteWithTheBytesSentSoFar) {
    FakeComPortServer server(Script([](ServerScript& s) { s.readData = false; }));
    CNetworkPorts ports;
    PortError error;
    const PortHandle handle = ports.Open(server.Name(), error);
    ASSERT_NE(handle, kInvalidPortHandle) << error.message;
    ASSERT_TRUE(ports.Configure(handle, {115200, 8, 0, 0}, error)) << error.message;
    const Bytes big(16 << 20, 0x5A);  // far more than both socket buffers hold
    const auto start = Clock::now();
    const std::size_t sent = ports.Write(big.data(), big.size(), handle, 300, error);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(sent, big.size());
    EXPECT_GE(seconds, 0.3);
    EXPECT_LT(seconds, 5.0);  // ends, rather than waiting for the line; slack for a loaded machine
    EXPECT_NE(error.message.find("held the data back for 300 ms"), std::string::npos)
        << error.message;
    ports.Close(handle);
}

}  // namespace
