// Names of ports on a network serial server, as pyserial and the tools built on it spell them:
// rfc2217://HOST:PORT (Telnet with RFC 2217) and socket://HOST:PORT (raw TCP). HOST is a name,
// an IPv4 address or [IPv6].
#pragma once

#include <optional>
#include <string>

enum class NetworkPortKind { Rfc2217, RawSocket };

struct NetworkPortAddress {
    NetworkPortKind kind = NetworkPortKind::Rfc2217;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;  // decimal, 1..65535
    // "10.0.0.5:4001", "[::1]:4001": how messages name the server.
    std::string HostAndPort() const;
    // One spelling per server port, so that two names of one port are seen as one: the scheme
    // and host in lower case, the port number without leading zeros ("rfc2217://h:1").
    std::string Canonical() const;
};

// The name starts with rfc2217:// or socket:// (in any case): it is meant for the network.
bool IsNetworkPortName(const std::string& name);

// The parts of a network port name, or nullopt with `error` saying what is wrong.
std::optional<NetworkPortAddress> ParseNetworkPortName(const std::string& name, std::string& error);
