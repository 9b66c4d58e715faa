// TCP calls of the network serial port on POSIX: getaddrinfo within the connect time limit, a
// non-blocking connect with poll, and send/recv that never raise SIGPIPE.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

#include "call_within.h"
#include "net_socket.h"

namespace {

int FdOf(NetSocket socket) {
    return static_cast<int>(socket);
}

NetFailure Failure(int error) {
    NetFailure failure;
    switch (error) {
        case ECONNREFUSED:
            failure.kind = NetFailureKind::Refused;
            break;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case EHOSTDOWN:
            failure.kind = NetFailureKind::Unreachable;
            break;
        case ETIMEDOUT:
            failure.kind = NetFailureKind::TimedOut;
            break;
        case ECONNRESET:
        case EPIPE:
            failure.kind = NetFailureKind::Closed;
            break;
        default:
            failure.kind = NetFailureKind::Other;
            break;
    }
    failure.reason = std::generic_category().message(error);
    return failure;
}

// One address: a non-blocking connect finished by poll within the time left.
int ConnectOne(const addrinfo& address, int timeoutMs, NetFailure& failure) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            address.ai_protocol);
    if (fd < 0) {
        failure = Failure(errno);
        return -1;
    }
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        failure = Failure(errno);
        ::close(fd);
        return -1;
    }
    pollfd out{fd, POLLOUT, 0};
    int ready = 0;
    do {
        ready = ::poll(&out, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t size = sizeof error;
    if (ready == 0) {
        error = ETIMEDOUT;
    } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error != 0) {
        failure = Failure(error);
        ::close(fd);
        return -1;
    }
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

struct Lookup {
    int code = 0;   // getaddrinfo's
    int error = 0;  // errno, with EAI_SYSTEM
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses{nullptr, ::freeaddrinfo};
};

Lookup LookUp(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* addresses = nullptr;
    Lookup lookup;
    lookup.code = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
    lookup.error = errno;
    lookup.addresses.reset(addresses);
    return lookup;
}

}  // namespace

NetSocket NetConnect(const std::string& host, const std::string& port, int timeoutMs,
                     NetFailure& failure) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // getaddrinfo has no time limit (a silent name server holds it for many seconds).
    const auto lookup = CallWithin<Lookup>(timeoutMs, [host, port] { return LookUp(host, port); });
    if (!lookup) {
        failure = NetFailure{NetFailureKind::LookupTimedOut, "no answer from the name service"};
        return kNoSocket;
    }
    if (lookup->code != 0) {
        failure.kind = NetFailureKind::Unresolved;
        failure.reason = lookup->code == EAI_SYSTEM ? std::generic_category().message(lookup->error)
                                                    : ::gai_strerror(lookup->code);
        return kNoSocket;
    }
    int fd = -1;
    for (const addrinfo* a = lookup->addresses.get(); a != nullptr && fd < 0; a = a->ai_next) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        fd = ConnectOne(*a, static_cast<int>(std::max<long long>(left.count(), 1)), failure);
    }
    return fd < 0 ? kNoSocket : NetSocket{fd};
}

long NetSendSome(NetSocket socket, const std::uint8_t* bytes, std::size_t length,
                 NetFailure& failure) {
    for (;;) {
        const ssize_t sent = ::send(FdOf(socket), bytes, length, MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        failure = Failure(errno);
        return -1;
    }
}

long NetReceiveSome(NetSocket socket, std::uint8_t* buffer, std::size_t capacity,
                    NetFailure& failure) {
    for (;;) {
        const ssize_t got = ::recv(FdOf(socket), buffer, capacity, 0);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got == 0) {
            failure = NetFailure{NetFailureKind::Closed, "the server closed the connection"};
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        failure = Failure(errno);
        return -1;
    }
}

NetReady NetWait(NetSocket socket, bool forWrite, int timeoutMs) {
    pollfd fd{FdOf(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int ready = ::poll(&fd, 1, timeoutMs);
        if (ready > 0) {
            return (fd.revents & POLLNVAL) != 0 ? NetReady::Failed : NetReady::Ready;
        }
        if (ready == 0) {
            return NetReady::TimedOut;
        }
        if (errno != EINTR) {
            return NetReady::Failed;
        }
    }
}

void NetShutdown(NetSocket socket) {
    (void)::shutdown(FdOf(socket), SHUT_RDWR);
}

void NetClose(NetSocket socket) {
    ::close(FdOf(socket));
}
