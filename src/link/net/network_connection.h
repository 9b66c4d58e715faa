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

#include "inflow_budget.h"
#include "net_socket.h"
#include "network_port_name.h"
#include "rfc2217_client.h"

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

// What a server may send before it counts as a flood (a port failure), and what is kept of it.
namespace network_inflow {
// The most received data kept for the reader, in bytes: a head answers a few bytes a frame, an
// echoing line returns a frame (4107 bytes) as it goes. Beyond it, TCP holds the server back.
constexpr std::size_t kInputLimitBytes = 64 * std::size_t{1024};
// Data a server may send beyond the line's rate, in bytes (what it held for us, a banner), and
// how many times faster than the line it may come after that (catching up after a stall of the
// network). Smaller than kInputLimitBytes, so that a flood shows before the input is full.
constexpr std::size_t kDataBurstBytes = 16 * std::size_t{1024};
constexpr double kCatchUpFactor = 2.0;
// Telnet commands (each counted once, whatever its length): the negotiation, one answer per
// setting, and notices of line and modem state as the lines change.
constexpr std::size_t kCommandBurst = 256;
constexpr double kCommandsPerSecond = 16.0;
}  // namespace network_inflow

struct NetworkConnection {
    using Clock = network_timing::Clock;

    std::string name;
    NetworkPortAddress address;
    NetSocket socket = kNoSocket;

    // The receive side: what the server sent, decoded, and how the connection ended.
    std::mutex mutex;
    CRfc2217Client telnet;
    std::deque<std::uint8_t> input;
    NetFailure failure;
    std::vector<std::uint8_t> owed;  // answers to the server and half-sent escapes, sent first
    CInflowBudget dataBudget{network_inflow::kDataBurstBytes, 0, Clock::now()};
    CInflowBudget commandBudget{network_inflow::kCommandBurst, network_inflow::kCommandsPerSecond,
                                Clock::now()};
    std::uint32_t inflowBaud = 0;  // the line speed dataBudget runs at (0: not set up yet)

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

    // Takes what waits on the socket into `input`: one receive at most, none while `input` is
    // full, so that a call ends soon however much the server sends; more than the server may
    // send ends the connection as Flooded. Answers owed to the server are sent at once when the
    // caller holds sendMutex (`senderHeld`) or no write holds it, else by the next write.
    void Pump(bool senderHeld = false);
    // The line runs at `baud` from now on: data may arrive at its rate. The caller holds `mutex`.
    void RestartInflow(std::uint32_t baud);
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

  private:
    // Decodes and checks what one receive brought. The caller holds `mutex`.
    void Take(const std::uint8_t* raw, std::size_t length);
    void Flood(const std::string& what);
};
