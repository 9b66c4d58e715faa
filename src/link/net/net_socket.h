// The few TCP calls of a network serial port that differ per platform (BSD sockets, Winsock),
// one source per platform. Sockets are non-blocking; every wait has a time limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using NetSocket = std::intptr_t;
constexpr NetSocket kNoSocket = -1;

enum class NetFailureKind {
    None,
    Unresolved,      // the host name does not resolve
    LookupTimedOut,  // the name service gave no answer within the time limit
    Refused,         // nothing listens on that port
    Unreachable,     // no route, host down
    TimedOut,        // no answer to the connection within the time limit
    Closed,          // the server closed the connection
    Flooded,         // the server sent more than a serial line explains (the network port's limits)
    Other,
};

struct NetFailure {
    NetFailureKind kind = NetFailureKind::None;
    std::string reason;  // the system's words, e.g. "connection refused"
};

// Connects to host:port (every address the name resolves to, in turn) within timeoutMs, the
// name look-up included; the socket is non-blocking, with Nagle's delay off (a frame's answer
// waits on its last bytes).
NetSocket NetConnect(const std::string& host, const std::string& port, int timeoutMs,
                     NetFailure& failure);

// Sends what the socket takes at once: bytes sent (0 when its buffer is full), -1 on failure.
long NetSendSome(NetSocket socket, const std::uint8_t* bytes, std::size_t length,
                 NetFailure& failure);

// Takes what waits at once: bytes received (0 when nothing waits), -1 on failure or when the
// server has closed the connection (failure.kind Closed).
long NetReceiveSome(NetSocket socket, std::uint8_t* buffer, std::size_t capacity,
                    NetFailure& failure);

enum class NetReady { Ready, TimedOut, Failed };

// Waits up to timeoutMs (>= 0) until the socket can be read (or written, with `forWrite`). A
// closed connection counts as readable: the next receive tells.
NetReady NetWait(NetSocket socket, bool forWrite, int timeoutMs);

// Ends both directions at once: a wait on the socket in another thread returns.
void NetShutdown(NetSocket socket);
void NetClose(NetSocket socket);
