#include "network_connection.h"

#include <algorithm>
#include <thread>

#include "telnet_codec.h"

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

void NetworkConnection::Pump(bool senderHeld) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        std::uint8_t raw[kReceiveChunk];
        while (failure.kind == NetFailureKind::None) {
            const long got = NetReceiveSome(socket, raw, sizeof raw, failure);
            if (got <= 0) {
                break;
            }
            std::vector<std::uint8_t> data;
            if (Telnet()) {
                telnet.Feed(raw, static_cast<std::size_t>(got), data, owed);
            } else {
                data.assign(raw, raw + got);
            }
            input.insert(input.end(), data.begin(), data.end());
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
        if (left == 0 || NetWait(socket, false, std::min(left, kWaitSliceMs)) == NetReady::Failed) {
            return false;
        }
    }
}
