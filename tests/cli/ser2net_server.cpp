#include "ser2net_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool LoopbackPortListens(int port) {
    constexpr const char* kListenState = "0A";
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot;
            std::string local;
            std::string remote;
            std::string state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.rfind(':');
            if (colon != std::string::npos && state == kListenState &&
                std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
                return true;
            }
        }
    }
    return false;
}

CSer2net::CSer2net(const std::string& dir, std::vector<Ser2netPort> ports, const std::string& name)
    : m_ports(std::move(ports)) {
    const std::string config = dir + "/" + name + ".yaml";
    {
        std::ofstream out(config);
        out << "%YAML 1.1\n---\n";
        for (std::size_t i = 0; i < m_ports.size(); ++i) {
            Ser2netPort& port = m_ports[i];
            port.tcpPort = FreeLoopbackPort();
            out << "connection: &port" << i << "\n"
                << "    accepter: " << (port.rfc2217 ? "telnet(rfc2217)," : "") << "tcp,"
                << port.host << "," << port.tcpPort << "\n"
                << "    enable: on\n"
                << "    options:\n"
                << "      kickolduser: true\n"
                << "      chardelay: " << (port.charDelay ? "true" : "false") << "\n";
            if (!port.banner.empty()) {
                out << "      banner: \"" << port.banner << "\"\n";
            }
            out << "    connector: serialdev," << port.device << "," << port.line << ",local\n";
        }
    }
    m_process =
        std::make_unique<ChildProcess>(std::vector<std::string>{kProgram, "-n", "-u", "-c", config,
                                                                "-P", dir + "/" + name + ".pid"},
                                       dir, name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_started && std::chrono::steady_clock::now() < deadline) {
        m_started = true;
        for (const Ser2netPort& port : m_ports) {
            m_started = m_started && LoopbackPortListens(port.tcpPort);
        }
        if (!m_started) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

std::string CSer2net::Name(std::size_t i) const {
    const Ser2netPort& port = m_ports[i];
    const bool ipv6 = port.host.find(':') != std::string::npos;
    return std::string(port.rfc2217 ? "rfc2217" : "socket") + "://" +
           (ipv6 ? "[" + port.host + "]" : port.host) + ":" + std::to_string(port.tcpPort);
}

void CSer2net::Kill() {
    m_process.reset();  // SIGKILL and reaped
}
