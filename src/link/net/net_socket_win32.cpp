// TCP calls of the network serial port on Windows (Winsock 2): getaddrinfo within the connect
// time limit, a non-blocking connect finished by select, and select for every wait. WSAPoll is not
// used: before Windows 10 2004 it never reports a refused connect, which would turn "nothing
// listening" into a time-out.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "call_within.h"
#include "net_socket.h"
#include "system_error_text.h"

namespace {

SOCKET ToSocket(NetSocket socket) {
    return static_cast<SOCKET>(socket);
}

NetFailure Failure(int code) {
    NetFailure failure;
    switch (code) {
        case WSAECONNREFUSED:
            failure.kind = NetFailureKind::Refused;
            break;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN:
            failure.kind = NetFailureKind::Unreachable;
            break;
        case WSAETIMEDOUT:
            failure.kind = NetFailureKind::TimedOut;
            break;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
            failure.kind = NetFailureKind::Closed;
            break;
        default:
            failure.kind = NetFailureKind::Other;
            break;
    }
    failure.reason = SystemErrorText(static_cast<unsigned long>(code));
    return failure;
}

timeval Interval(int timeoutMs) {
    timeval interval{};
    interval.tv_sec = timeoutMs / 1000;
    interval.tv_usec = (timeoutMs % 1000) * 1000;
    return interval;
}

bool StartWinsock(NetFailure& failure) {
    static std::once_flag once;
    static int started = -1;
    std::call_once(once, [] {
        WSADATA data{};
        started = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (started != 0) {
        failure = Failure(started);
        return false;
    }
    return true;
}

SOCKET ConnectOne(const addrinfo& address, int timeoutMs, NetFailure& failure) {
    const SOCKET s = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
        failure = Failure(WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK)) {
        failure = Failure(WSAGetLastError());
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval interval = Interval(timeoutMs);
    const int ready = ::select(0, nullptr, &writable, &failed, &interval);
    int code = 0;
    int size = sizeof code;
    if (ready == 0) {
        code = WSAETIMEDOUT;
    } else if (ready < 0 ||
               ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size) != 0) {
        code = WSAGetLastError();
    }
    if (code != 0) {
        failure = Failure(code);
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return s;
}

struct Lookup {
    int code = 0;  // getaddrinfo's (a Winsock error code)
    std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> addresses{nullptr, ::freeaddrinfo};
};

Lookup LookUp(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    Lookup lookup;
    lookup.code = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
    lookup.addresses.reset(addresses);
    return lookup;
}

}  // namespace

NetSocket NetConnect(const std::string& host, const std::string& port, int timeoutMs,
                     NetFailure& failure) {
    if (!StartWinsock(failure)) {
        return kNoSocket;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // getaddrinfo has no time limit, and GetAddrInfoEx's is not there before Windows 8.
    const auto lookup = CallWithin<Lookup>(timeoutMs, [host, port] { return LookUp(host, port); });
    if (!lookup) {
        failure = NetFailure{NetFailureKind::LookupTimedOut, "no answer from the name service"};
        return kNoSocket;
    }
    if (lookup->code != 0) {
        failure = Failure(lookup->code);
        failure.kind = NetFailureKind::Unresolved;
        return kNoSocket;
    }
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* a = lookup->addresses.get(); a != nullptr && s == INVALID_SOCKET;
         a = a->ai_next) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        s = ConnectOne(*a, static_cast<int>(std::max<long long>(left.count(), 1)), failure);
    }
    return s == INVALID_SOCKET ? kNoSocket : static_cast<NetSocket>(s);
}

long NetSendSome(NetSocket socket, const std::uint8_t* bytes, std::size_t length,
                 NetFailure& failure) {
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1U << 20U));
    const int sent = ::send(ToSocket(socket), reinterpret_cast<const char*>(bytes), chunk, 0);
    if (sent >= 0) {
        return sent;
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        return 0;
    }
    failure = Failure(code);
    return -1;
}

long NetReceiveSome(NetSocket socket, std::uint8_t* buffer, std::size_t capacity,
                    NetFailure& failure) {
    const int room = static_cast<int>(std::min<std::size_t>(capacity, 1U << 20U));
    const int got = ::recv(ToSocket(socket), reinterpret_cast<char*>(buffer), room, 0);
    if (got > 0) {
        return got;
    }
    if (got == 0) {
        failure = NetFailure{NetFailureKind::Closed, "the server closed the connection"};
        return -1;
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        return 0;
    }
    failure = Failure(code);
    return -1;
}

NetReady NetWait(NetSocket socket, bool forWrite, int timeoutMs) {
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(ToSocket(socket), &wanted);
    FD_SET(ToSocket(socket), &failed);
    timeval interval = Interval(timeoutMs);
    const int ready =
        ::select(0, forWrite ? nullptr : &wanted, forWrite ? &wanted : nullptr, &failed, &interval);
    if (ready > 0) {
        return NetReady::Ready;  // a failure shows in the next send or receive
    }
    return ready == 0 ? NetReady::TimedOut : NetReady::Failed;
}

void NetShutdown(NetSocket socket) {
    (void)::shutdown(ToSocket(socket), SD_BOTH);
}

void NetClose(NetSocket socket) {
    (void)::closesocket(ToSocket(socket));
}
