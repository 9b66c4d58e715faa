// One connection to a network serial server, as the network port keeps it: the socket, what
// arrived (decoded), what is owed to the server, the line's timing and the flags other threads
// set. Shared by every thread that uses the opening; the socket closes with the last of them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "com_port_client.h"
#include "net_socket.h"
#include "network_port_name.h"

namespace network_timing {
using Clock = std::chrono::steady_clock;
// Each step of the Telnet negotiation and each acknowledged setting gets this long.
constexpr int kNegotiationLimitMs = 3000;
// How long one wait on the socket lasts at most: a cancel or close is seen this soon.
constexpr int kWaitSliceMs = 50;
// A frame's bytes leave the server's UART this long after their wire time, at most, plus the
// round trip: a speed change or a disconnection waits for it.
constexpr int kUartMarginMs = 20;

// Milliseconds until `when`, 0 when it has passed; "no limit" stays within an int.
int MsUntil(Clock::time_point when);
}  // namespace network_timing

struct NetworkConnection {
    using Clock = network_timing::Clock;

    std::string name;
    NetworkPortAddress address;
    NetSocket socket = kNoSocket;

    // The receive side: what the server sent, decoded, and how the connection ended.
    std::mutex mutex;
    CComPortClient telnet;
    std::deque<std::uint8_t> input;
    NetFailure failure;
    std::vector<std::uint8_t> owed;  // answers to the server and half-sent escapes, sent first

    // One sender at a time; the line's timing belongs to the sender.
    std::mutex sendMutex;
    std::uint32_t baudRate = 0;
    std::atomic<Clock::rep> lineFreeAt{0};  // when the server's UART has sent all we wrote
    std::atomic<int> roundTripMs{0};

    std::atomic<bool> cancel{false};
    std::atomic<bool> closed{false};
    std::atomic<bool> writing{false};
    std::atomic<bool> releaseWrite{false};

    NetworkConnection() = default;
    NetworkConnection(const NetworkConnection&) = delete;
    NetworkConnection& operator=(const NetworkConnection&) = delete;
    ~NetworkConnection();

    bool Telnet() const { return address.kind == NetworkPortKind::Rfc2217; }
    Clock::time_point LineFreeAt() const;

    // Takes everything waiting on the socket into `input`. Answers owed to the server are sent
    // at once when the caller holds sendMutex (`senderHeld`) or no write holds it, else by the
    // next write.
    void Pump(bool senderHeld = false);
    // Sends what is owed; the caller holds sendMutex.
    bool SendOwed(Clock::time_point deadline);
    // Sends until done, the deadline, a close, a release or a failure; the bytes sent. The
    // caller holds sendMutex.
    std::size_t SendAll(const std::uint8_t* bytes, std::size_t length, Clock::time_point deadline);
    bool Failed();
    // Waits until the server's UART has sent everything written, plus the margin: a speed
    // change or a disconnection would cut it short. Bounded by `limit`.
    void WaitForLine(Clock::time_point limit);
    // Waits for the server until `done` (called with `mutex` held) is true, the server refuses,
    // fails, or time runs out. The caller holds sendMutex.
    bool AwaitServer(const std::function<bool()>& done, Clock::time_point deadline);
};
