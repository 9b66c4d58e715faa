// A real ser2net for tests and benchmarks: a configuration file written for the ports asked for,
// each on a free loopback TCP port in front of a device (a ptz-headsim pty), and the server
// started in the foreground as a child process.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "process_runner.h"

struct Ser2netPort {
    // NOLINTNEXTLINE(google-explicit-constructor): a device alone is the common port
    Ser2netPort(std::string devicePath, bool telnet = true, std::string settings = "9600n81",
                bool delay = true, std::string text = {})
        : device(std::move(devicePath)),
          rfc2217(telnet),
          line(std::move(settings)),
          charDelay(delay),
          banner(std::move(text)) {}

    std::string device;
    bool rfc2217 = true;             // telnet(rfc2217) accepter; false: raw TCP
    std::string line = "9600n81";    // the device's settings before any client sets them
    bool charDelay = true;           // ser2net's default: a short wait before sending on
    std::string banner;              // sent to each client on connection, empty for none
    std::string host = "127.0.0.1";  // or "::1"
    int tcpPort = 0;                 // filled in by CSer2net
};

class CSer2net {
  public:
    static constexpr const char* kProgram = "/usr/sbin/ser2net";

    // Starts ser2net and waits until every port listens; Started() tells whether it did.
    CSer2net(const std::string& dir, std::vector<Ser2netPort> ports, const std::string& name);
    bool Started() const { return m_started; }
    // rfc2217://HOST:PORT or socket://HOST:PORT, an IPv6 HOST in brackets.
    std::string Name(std::size_t i) const;
    int TcpPort(std::size_t i) const { return m_ports[i].tcpPort; }
    // Ends the server at once, as a crash or a power cut would.
    void Kill();

  private:
    std::vector<Ser2netPort> m_ports;
    std::unique_ptr<ChildProcess> m_process;
    bool m_started = false;
};

// A loopback TCP port nothing listens on at the moment of the call.
int FreeLoopbackPort();
// Whether something listens on the loopback TCP port (from /proc/net/tcp, without connecting).
bool LoopbackPortListens(int port);
