#include "network_connection.h"

#include <algorithm>
#include <thread>

#include "line_timing.h"
#include "telnet_codec.h"

using network_inflow::kInputLimitBytes;
using network_timing::Clock;
using network_timing::kNegotiationLimitMs;
using network_timing::kUartMarginMs;
using network_timing::kWaitSliceMs;
using network_timing::MsUntil;

namespace {
constexpr std::size_t kReceiveChunk = 4096;
}  // namespace

int network_timing::MsUntil(Clock::time_point when) {
    constexpr long long kLongest = 1LL << 30;  // "no limit" without overflowing an int
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kLongest));
}

NetworkConnection::~NetworkConnection() {
    if (socket != kNoSocket) {
        NetClose(socket);
    }
}

Clock::time_point NetworkConnection::LineFreeAt() const {
    return Clock::time_point(Clock::duration(lineFreeAt.load()));
}

void NetworkConnection::RestartInflow(std::uint32_t baud) {
    inflowBaud = baud;
    dataBudget.Restart(network_inflow::kCatchUpFactor * baud / line::kBitsPerByte, Clock::now());
}

void NetworkConnection::Flood(const std::string& what) {
    if (failure.kind == NetFailureKind::None) {
        failure =
            NetFailure{NetFailureKind::Flooded, "the serial server sent " + what +
                                                    " — check that " + address.HostAndPort() +
                                                    " is the serial server's port of this line"};
    }
}

void NetworkConnection::Take(const std::uint8_t* raw, std::size_t length) {
    const auto now = Clock::now();
    std::vector<std::uint8_t> data;
    if (Telnet()) {
        const std::size_t commandsBefore = telnet.CommandsSeen();
        telnet.Feed(raw, length, data, owed);
        if (telnet.Overlong()) {
            return Flood("a Telnet subnegotiation of over " +
                         std::to_string(CTelnetDecoder::kMaxPayload) +
                         " bytes that does not end (no IAC SE)");
        }
        if (!commandBudget.Take(telnet.CommandsSeen() - commandsBefore, now)) {
            return Flood("Telnet commands without pause (over " +
                         std::to_string(network_inflow::kCommandBurst) + ", then more than " +
                         std::to_string(static_cast<int>(network_inflow::kCommandsPerSecond)) +
                         " a second)");
        }
    } else {
        data.assign(raw, raw + length);
    }
    if (!dataBudget.Take(data.size(), now)) {
        const std::string burst = std::to_string(network_inflow::kDataBurstBytes / 1024) + " KiB";
        return Flood(inflowBaud == 0 ? "over " + burst + " of data before the line was set up"
                                     : "data faster than a line at " + std::to_string(inflowBaud) +
                                           " bit/s carries (" + burst + " beyond it)");
    }
    input.insert(input.end(), data.begin(), data.end());
}

void NetworkConnection::Pump(bool senderHeld) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // Data never outgrows what it was received as, so `input` stays within its limit.
        const std::size_t room = kInputLimitBytes - std::min(input.size(), kInputLimitBytes);
        if (failure.kind == NetFailureKind::None && room > 0) {
            std::uint8_t raw[kReceiveChunk];
            const long got = NetReceiveSome(socket, raw, std::min(room, sizeof raw), failure);
            if (got > 0) {
                Take(raw, static_cast<std::size_t>(got));
            }
        }
        if (owed.empty()) {
            return;
        }
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiationLimitMs);
    if (senderHeld) {
        (void)SendOwed(deadline);
        return;
    }
    std::unique_lock<std::mutex> sending(sendMutex, std::try_to_lock);
    if (sending.owns_lock()) {
        (void)SendOwed(deadline);
    }
}

bool NetworkConnection::SendOwed(Clock::time_point deadline) {
    std::vector<std::uint8_t> bytes;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        bytes.swap(owed);
    }
    return SendAll(bytes.data(), bytes.size(), deadline) == bytes.size();
}

std::size_t NetworkConnection::SendAll(const std::uint8_t* bytes, std::size_t length,
                                       Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < length && !closed.load() && !releaseWrite.load()) {
        NetFailure sendFailure;
        const long n = NetSendSome(socket, bytes + done, length - done, sendFailure);
        if (n < 0) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (failure.kind == NetFailureKind::None) {
                failure = sendFailure;
            }
            break;
        }
        done += static_cast<std::size_t>(n);
        if (done < length) {
            const int left = MsUntil(deadline);
            if (left == 0) {
                break;
            }
            (void)NetWait(socket, true, std::min(left, kWaitSliceMs));
        }
    }
    return done;
}

bool NetworkConnection::Failed() {
    const std::lock_guard<std::mutex> lock(mutex);
    return failure.kind != NetFailureKind::None;
}

void NetworkConnection::WaitForLine(Clock::time_point limit) {
    const auto margin = std::chrono::milliseconds(kUartMarginMs + roundTripMs.load());
    const auto until = std::min(LineFreeAt() + margin, limit);
    while (Clock::now() < until && !Failed()) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(10)));
    }
}

bool NetworkConnection::AwaitServer(const std::function<bool()>& done, Clock::time_point deadline) {
    for (;;) {
        Pump(true);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (done() || !telnet.Refusal().empty() || failure.kind != NetFailureKind::None) {
                return done();
            }
        }
        const int left = MsUntil(deadline);
        if (left == 0) {
            return false;
        }
        if (NetWait(socket, false, std::min(left, kWaitSliceMs)) == NetReady::Failed) {
            // Recorded, so that the caller does not blame the server's silence.
            const std::lock_guard<std::mutex> lock(mutex);
            if (failure.kind == NetFailureKind::None) {
                failure = NetFailure{NetFailureKind::Other, "waiting on the connection failed"};
            }
            return false;
        }
    }
}
