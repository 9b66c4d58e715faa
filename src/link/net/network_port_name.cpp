#include "network_port_name.h"

#include <algorithm>
#include <cctype>

namespace {
constexpr const char* kRfc2217Prefix = "rfc2217://";
constexpr const char* kSocketPrefix = "socket://";
constexpr long kMaxTcpPort = 65535;

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool IsPortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    const long value = std::stol(text);
    return value >= 1 && value <= kMaxTcpPort;
}
}  // namespace

std::string NetworkPortAddress::HostAndPort() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + port;
}

std::string NetworkPortAddress::Canonical() const {
    std::string lowerHost = host;
    std::transform(lowerHost.begin(), lowerHost.end(), lowerHost.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    NetworkPortAddress canonical = *this;
    canonical.host = lowerHost;
    canonical.port = std::to_string(std::stol(port));  // checked to be 1..65535 when parsed
    return std::string(kind == NetworkPortKind::Rfc2217 ? kRfc2217Prefix : kSocketPrefix) +
           canonical.HostAndPort();
}

bool IsNetworkPortName(const std::string& name) {
    return StartsWithNoCase(name, kRfc2217Prefix) || StartsWithNoCase(name, kSocketPrefix);
}

std::optional<NetworkPortAddress> ParseNetworkPortName(const std::string& name,
                                                       std::string& error) {
    NetworkPortAddress address;
    std::string rest;
    if (StartsWithNoCase(name, kRfc2217Prefix)) {
        rest = name.substr(std::string(kRfc2217Prefix).size());
    } else if (StartsWithNoCase(name, kSocketPrefix)) {
        address.kind = NetworkPortKind::RawSocket;
        rest = name.substr(std::string(kSocketPrefix).size());
    }
    const std::string form = "'" + name +
                             "' is not a network port: the forms are rfc2217://HOST:PORT and "
                             "socket://HOST:PORT, HOST a name, an IPv4 address or [IPv6], PORT "
                             "1 to 65535";
    std::string::size_type colon = std::string::npos;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = form;
            return std::nullopt;
        }
        address.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos || rest.find(':') != colon) {
            error = form;  // no port, or an IPv6 address without its brackets
            return std::nullopt;
        }
        address.host = rest.substr(0, colon);
    }
    address.port = rest.substr(colon + 1);
    if (address.host.empty() || !IsPortNumber(address.port) ||
        address.host.find_first_of("/?@ ") != std::string::npos) {
        error = form;
        return std::nullopt;
    }
    return address;
}
