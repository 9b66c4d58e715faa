// ptz-upgrade through a real ser2net on loopback in front of ptz-headsim paced at 115200 bit/s:
// a whole transfer's time over its wire time plus the pauses after accepted frames, with
// ser2net's default settings, with `chardelay: false`, and with 20 ms of round-trip delay added
// by a relay (a slow WAN). Prints figures and never fails on a slow machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_line.h"
#include "process_runner.h"
#include "ser2net_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLineRate = 115200;
constexpr double kBitsPerByte = 10;  // 8N1
constexpr std::size_t kFrameBytes = 4107;
constexpr std::size_t kBlockBytes = 4096;
constexpr std::size_t kFrames = 64;
constexpr double kAckDelaySeconds = 0.020;  // ptz-upgrade's default --ack-delay
constexpr auto kOneWayDelay = std::chrono::milliseconds(10);

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// A TCP relay on loopback that holds every byte for a fixed time in each direction; serves one
// connection after another until destroyed.
class CDelayRelay {
  public:
    CDelayRelay(int targetPort, std::chrono::milliseconds delay)
        : m_target(targetPort), m_delay(delay) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        (void)::bind(m_listen, reinterpret_cast<sockaddr*>(&address), size);
        (void)::listen(m_listen, 4);
        (void)::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CDelayRelay() {
        m_quit = true;
        m_thread.join();
        ::close(m_listen);
    }
    CDelayRelay(const CDelayRelay&) = delete;
    CDelayRelay& operator=(const CDelayRelay&) = delete;
    int Port() const { return m_port; }

  private:
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };

    void Serve() {
        while (!m_quit) {
            pollfd listen{m_listen, POLLIN, 0};
            if (::poll(&listen, 1, 50) <= 0) {
                continue;
            }
            const int client = ::accept(m_listen, nullptr, nullptr);
            const int server = ConnectLoopback(m_target);
            const int on = 1;
            (void)::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            if (server >= 0) {
                Relay(client, server);
                ::close(server);
            }
            ::close(client);
        }
    }

    // Both directions of one connection until either side closes.
    void Relay(int client, int server) {
        std::deque<Pending> toServer;
        std::deque<Pending> toClient;
        for (;;) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            (void)::poll(fds, 2, 1);
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                    continue;
                }
                std::uint8_t buffer[65536];
                const ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    return;
                }
                (i == 0 ? toServer : toClient)
                    .push_back({Clock::now() + m_delay, {buffer, buffer + got}});
            }
            for (auto* queue : {&toServer, &toClient}) {
                const int to = queue == &toServer ? server : client;
                while (!queue->empty() && queue->front().due <= Clock::now()) {
                    const auto& bytes = queue->front().bytes;
                    if (::send(to, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
                        return;
                    }
                    queue->pop_front();
                }
            }
            if (m_quit) {
                return;
            }
        }
    }

    int m_target;
    std::chrono::milliseconds m_delay;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

struct Setup {
    const char* name;
    bool server;  // false: ptz-upgrade on the pty itself, the reference under the same load
    bool charDelay;
    bool wan;
};

// One whole transfer through ser2net (and the relay), the head already in upgrade mode; its
// time in seconds, or a negative value when it failed.
double TimeOneUpgrade(const std::string& dir, const std::string& image, const Setup& setup) {
    const std::string link = dir + "/head";
    ChildProcess head({PTZ_HEADSIM_EXE, "--link", link, "--no-command", "--once", "--pace",
                       std::to_string(kLineRate)},
                      dir, "headsim");
    if (!head.WaitForOutput(link, 5000)) {
        return -1;
    }
    std::string portName = link;
    std::unique_ptr<CSer2net> server;
    std::unique_ptr<CDelayRelay> relay;
    if (setup.server) {
        server = std::make_unique<CSer2net>(
            dir, std::vector<Ser2netPort>{{link, true, "115200n81", setup.charDelay}}, "ser2net");
        if (!server->Started()) {
            return -1;
        }
        int port = server->TcpPort(0);
        if (setup.wan) {
            relay = std::make_unique<CDelayRelay>(port, kOneWayDelay);
            port = relay->Port();
        }
        portName = "rfc2217://127.0.0.1:" + std::to_string(port);
    }
    const auto start = Clock::now();
    ChildProcess upgrade({PTZ_UPGRADE_EXE, "--port", portName, "--no-switch", "-q", image}, dir,
                         "upgrade");
    const ProcessResult run = upgrade.Wait(600000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run.exitStatus == 0 ? seconds : -1;
}

}  // namespace

int main() {
    if (::access(CSer2net::kProgram, X_OK) != 0) {
        std::printf("ser2net is missing (scripts/install-deps.sh installs it): no figures\n");
        return 0;
    }
    const std::string dir = bench::ScratchFolder("ptz-network-bench");
    if (dir.empty()) {
        return 0;
    }
    const std::string image = bench::WriteImage(dir + "/image.bin", kFrames);
    const double wire = static_cast<double>(kFrames * kFrameBytes + 2) * kBitsPerByte / kLineRate;
    const double pauses = static_cast<double>(kFrames) * kAckDelaySeconds;
    std::printf(
        "%zu frames through ser2net on loopback, head paced at %d bit/s: %.2f s on the wire "
        "+ %.2f s of pauses (--ack-delay 20)\n",
        kFrames, kLineRate, wire, pauses);
    for (const Setup& setup :
         {Setup{"the pty itself, no server (reference)", false, false, false},
          Setup{"ser2net defaults (chardelay on)", true, true, false},
          Setup{"chardelay: false", true, false, false},
          Setup{"chardelay: false, 20 ms round trip added", true, false, true}}) {
        const double seconds = TimeOneUpgrade(dir, image, setup);
        if (seconds < 0) {
            std::printf("  %-42s: the upgrade failed\n", setup.name);
            continue;
        }
        std::printf("  %-42s: %6.2f s, time / (wire + pauses) %.3f, %.1f ms per frame beyond\n",
                    setup.name, seconds, seconds / (wire + pauses),
                    (seconds - wire - pauses) * 1000.0 / static_cast<double>(kFrames));
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
