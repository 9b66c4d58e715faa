#include "network_port.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "line_timing.h"
#include "net_socket.h"
#include "network_connection.h"
#include "network_failure_text.h"
#include "network_port_name.h"
#include "rfc2217_client.h"
#include "rfc2217_settings.h"
#include "telnet_codec.h"

namespace {

using network_timing::Clock;
using network_timing::kNegotiationLimitMs;
using network_timing::kWaitSliceMs;
using network_timing::MsUntil;

constexpr int kConnectLimitMs = 5000;
// Close never waits longer than this for the server's UART.
constexpr int kCloseDrainLimitMs = 5000;
constexpr std::size_t kWritePiece = 65536;

// Sends the data, escaped for Telnet where the port speaks it, after what an earlier write owes;
// the data bytes whose encoding went out. Encoded a piece at a time, so that a long write's time
// limit counts from its start.
std::size_t SendData(NetworkConnection& connection, const std::uint8_t* bytes, std::size_t length,
                     Clock::time_point deadline) {
    std::size_t done = 0;
    bool whole = connection.SendOwed(deadline);
    std::vector<std::uint8_t> encoded;
    while (whole && done < length) {
        const std::size_t piece = std::min(length - done, kWritePiece);
        encoded.clear();
        if (connection.Telnet()) {
            AppendTelnetData(bytes + done, piece, encoded);
        } else {
            encoded.assign(bytes + done, bytes + done + piece);
        }
        const std::size_t sent = connection.SendAll(encoded.data(), encoded.size(), deadline);
        whole = sent == encoded.size();
        // The data bytes whose encoding went out; half an escaped 0xFF is owed to the next write.
        for (std::size_t at = 0; at < sent; ++at, ++done) {
            if (connection.Telnet() && encoded[at] == telnet::kIac) {
                if (at + 1 == sent) {
                    const std::lock_guard<std::mutex> lock(connection.mutex);
                    connection.owed.insert(connection.owed.begin(), telnet::kIac);
                }
                ++at;
            }
        }
    }
    return done;
}

// Sends the settings, after what an earlier write owes, and waits for every acknowledgement
// within the negotiation limit; the round trip is noted for the answers' time limits.
void Negotiate(NetworkConnection& connection, const std::vector<Rfc2217Setting>& wanted) {
    std::vector<std::uint8_t> request;
    {
        const std::lock_guard<std::mutex> lock(connection.mutex);
        request.swap(connection.owed);
        for (const Rfc2217Setting& setting : wanted) {
            connection.telnet.ForgetAcknowledgement(setting.code);
            const auto command = ComPortCommand(setting.code, setting.value);
            request.insert(request.end(), command.begin(), command.end());
        }
    }
    const auto sent = Clock::now();
    const auto deadline = sent + std::chrono::milliseconds(kNegotiationLimitMs);
    const bool written =
        connection.SendAll(request.data(), request.size(), deadline) == request.size();
    const auto allAcknowledged = [&] {
        return std::all_of(wanted.begin(), wanted.end(), [&](const Rfc2217Setting& setting) {
            return connection.telnet.Acknowledged(setting.code).has_value();
        });
    };
    (void)(written && connection.AwaitServer(allAcknowledged, deadline));
    connection.roundTripMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
}

}  // namespace

std::shared_ptr<CNetworkPorts> MakeNetworkPorts() {
    return std::make_shared<CNetworkPorts>();
}

CNetworkPorts::CNetworkPorts() = default;
CNetworkPorts::~CNetworkPorts() = default;

std::shared_ptr<NetworkConnection> CNetworkPorts::Find(PortHandle handle) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_connections.find(handle.value);
    return found == m_connections.end() ? nullptr : found->second;
}

bool CNetworkPorts::Owns(PortHandle handle) const {
    return Find(handle) != nullptr;
}

PortHandle CNetworkPorts::Open(const std::string& name, PortError& error) {
    std::string nameError;
    const auto address = ParseNetworkPortName(name, nameError);
    if (!address) {
        error = {PortErrorKind::NotFound, "Opening '" + name + "': " + nameError};
        return kInvalidPortHandle;
    }
    NetFailure failure;
    const NetSocket socket = NetConnect(address->host, address->port, kConnectLimitMs, failure);
    if (socket == kNoSocket) {
        error = {PortErrorKind::NotFound, ConnectFailureText(*address, failure, kConnectLimitMs)};
        return kInvalidPortHandle;
    }
    auto connection = std::make_shared<NetworkConnection>();
    connection->name = name;
    connection->address = *address;
    connection->socket = socket;
    if (connection->Telnet()) {
        const std::vector<std::uint8_t> start = connection->telnet.Start();
        const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiationLimitMs);
        bool agreed = false;
        {
            const std::lock_guard<std::mutex> sending(connection->sendMutex);
            agreed =
                connection->SendAll(start.data(), start.size(), deadline) == start.size() &&
                connection->AwaitServer([&] { return connection->telnet.Negotiated(); }, deadline);
        }
        if (!agreed) {
            const std::lock_guard<std::mutex> lock(connection->mutex);
            const std::string where = "Opening '" + name + "': ";
            if (!connection->telnet.Refusal().empty()) {
                error = {PortErrorKind::BadSetting,
                         where + "the server refused " + connection->telnet.Refusal() +
                             " — is it a Telnet port with RFC 2217 (ser2net: accepter "
                             "telnet(rfc2217),tcp,PORT)? A raw TCP port is socket://"};
            } else if (connection->failure.kind != NetFailureKind::None) {
                error = ConnectionError(where, connection->failure, " during the negotiation");
            } else {
                error = {PortErrorKind::BadSetting,
                         where + "the server did not complete the Telnet negotiation within " +
                             std::to_string(kNegotiationLimitMs / 1000) + " s (no answer for " +
                             connection->telnet.MissingOptions() +
                             ") — is it a Telnet port with RFC 2217 (ser2net: accepter "
                             "telnet(rfc2217),tcp,PORT)? A raw TCP port is socket://"};
            }
            return kInvalidPortHandle;
        }
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connections[static_cast<std::intptr_t>(socket)] = std::move(connection);
    return PortHandle{static_cast<std::intptr_t>(socket)};
}

bool CNetworkPorts::Configure(PortHandle handle, const PortLineSettings& settings,
                              PortError& error) {
    const auto connection = Find(handle);
    const std::string where = "Configuring '" + (connection ? connection->name : "?") + "': ";
    if (!connection) {
        error = {PortErrorKind::Other, where + "the port is not open"};
        return false;
    }
    const std::lock_guard<std::mutex> sending(connection->sendMutex);
    // The server applies a new speed at once: what is still on its way out goes first.
    connection->WaitForLine(Clock::now() + std::chrono::milliseconds(kCloseDrainLimitMs));
    connection->baudRate = settings.baudRate;
    {
        // Bytes from before this opening or speed belong to nobody, a banner among them.
        const std::lock_guard<std::mutex> lock(connection->mutex);
        connection->input.clear();
        connection->RestartInflow(settings.baudRate);
    }
    if (!connection->Telnet()) {
        return true;
    }
    std::string problem;
    const std::vector<Rfc2217Setting> wanted = Rfc2217SettingsFor(settings, problem);
    if (wanted.empty()) {
        error = {PortErrorKind::BadSetting, where + problem};
        return false;
    }
    Negotiate(*connection, wanted);

    const std::lock_guard<std::mutex> lock(connection->mutex);
    if (connection->failure.kind != NetFailureKind::None) {
        error = ConnectionError(where, connection->failure);
        return false;
    }
    problem = UnconfirmedSetting(wanted, connection->telnet, kNegotiationLimitMs / 1000);
    if (!problem.empty()) {
        error = {PortErrorKind::BadSetting, where + problem};
        return false;
    }
    // What came while the line was being set belongs to the old speed.
    connection->input.clear();
    return true;
}

bool CNetworkPorts::SetSoftwareFlowControl(PortHandle handle, bool enabled, PortError& error) {
    const auto connection = Find(handle);
    if (!connection) {
        error = {PortErrorKind::Other, "Setting up flow control: the port is not open"};
        return false;
    }
    if (!connection->Telnet()) {
        return true;  // the server's own configuration decides
    }
    if (!enabled && connection->writing.load()) {
        connection->releaseWrite = true;
        return true;
    }
    const std::lock_guard<std::mutex> sending(connection->sendMutex);
    const std::uint8_t value = enabled ? rfc2217::kControlXonXoff : rfc2217::kControlNoFlow;
    std::vector<std::uint8_t> request;
    {
        const std::lock_guard<std::mutex> lock(connection->mutex);
        request.swap(connection->owed);
        connection->telnet.ForgetAcknowledgement(rfc2217::kSetControl);
        const auto command = ComPortCommand(rfc2217::kSetControl, {value});
        request.insert(request.end(), command.begin(), command.end());
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiationLimitMs);
    const bool acknowledged =
        connection->SendAll(request.data(), request.size(), deadline) == request.size() &&
        connection->AwaitServer(
            [&] { return connection->telnet.Acknowledged(rfc2217::kSetControl).has_value(); },
            deadline);
    const std::lock_guard<std::mutex> lock(connection->mutex);
    const auto ack = connection->telnet.Acknowledged(rfc2217::kSetControl);
    if (acknowledged && ack && *ack == std::vector<std::uint8_t>{value}) {
        return true;
    }
    const std::string where =
        std::string(enabled ? "Turning on" : "Turning off") + " XON/XOFF on '" + connection->name;
    error = connection->failure.kind == NetFailureKind::Flooded
                ? ConnectionError(where + "': ", connection->failure)
                : PortError{PortErrorKind::BadSetting, where + "': the server did not confirm it"};
    return false;
}

void CNetworkPorts::Close(PortHandle handle) {
    std::shared_ptr<NetworkConnection> connection;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_connections.find(handle.value);
        if (found == m_connections.end()) {
            return;
        }
        connection = std::move(found->second);
        m_connections.erase(found);
    }
    // A command still on its way out of the server's UART would be cut by the disconnection
    // (the server may reset its port); a write held by the line is not waited for.
    if (!connection->writing.load()) {
        connection->WaitForLine(Clock::now() + std::chrono::milliseconds(kCloseDrainLimitMs));
    }
    connection->closed = true;
    // Wakes a wait or write in another thread; the socket itself closes with the last user.
    NetShutdown(connection->socket);
}

std::size_t CNetworkPorts::Write(const std::uint8_t* bytes, std::size_t length, PortHandle handle,
                                 int timeoutMs, PortError& error) {
    const auto connection = Find(handle);
    if (!connection) {
        error = {PortErrorKind::Other, "Writing: the port is not open"};
        return 0;
    }
    const std::string where = "Writing to '" + connection->name + "': ";
    const std::lock_guard<std::mutex> sending(connection->sendMutex);
    connection->writing = true;
    connection->releaseWrite = false;
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto started = Clock::now();
    const std::size_t done = SendData(*connection, bytes, length, deadline);
    connection->writing = false;

    const auto wire = line::WireTime(done, static_cast<int>(connection->baudRate));
    const auto freeAt = std::max(started, connection->LineFreeAt()) + wire;
    connection->lineFreeAt = freeAt.time_since_epoch().count();

    if (connection->closed.load()) {
        error = {PortErrorKind::Other, where + "the port was closed during the write"};
        return 0;
    }
    if (connection->Failed()) {
        const std::lock_guard<std::mutex> lock(connection->mutex);
        error = ConnectionError(where, connection->failure);
        return 0;
    }
    if (connection->releaseWrite.load()) {
        error = {PortErrorKind::Other,
                 where +
                     "the line held the data back too long (XOFF from the head?); what the "
                     "serial server holds cannot be taken back"};
        return 0;
    }
    if (done < length) {
        error = {PortErrorKind::Held,
                 where + "the line held the data back for " + std::to_string(timeoutMs) +
                     " ms (XOFF from the head, or a serial server that does not take it)"};
        return done;
    }
    // As a local port drains its output: the caller may change the speed or wait for an answer
    // next, which starts when the bytes have left the server's UART.
    while (Clock::now() < std::min(freeAt, deadline) && !connection->closed.load()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(
            std::min(freeAt, deadline) - Clock::now(), std::chrono::milliseconds(50)));
    }
    return done;
}

std::size_t CNetworkPorts::Read(std::uint8_t* buffer, std::size_t capacity, PortHandle handle,
                                PortError& error) {
    const long waiting = QueuedInput(handle, error);
    const auto connection = Find(handle);
    if (waiting <= 0 || !connection) {
        return 0;
    }
    const std::lock_guard<std::mutex> lock(connection->mutex);
    const std::size_t n = std::min({connection->input.size(), capacity, CSerialLink::kMaxChunk});
    std::copy_n(connection->input.begin(), n, buffer);
    connection->input.erase(connection->input.begin(),
                            connection->input.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

long CNetworkPorts::QueuedInput(PortHandle handle, PortError& error) {
    const auto connection = Find(handle);
    if (!connection) {
        error = {PortErrorKind::Other, "Reading: the port is not open"};
        return -1;
    }
    connection->Pump();
    const std::lock_guard<std::mutex> lock(connection->mutex);
    if (connection->failure.kind == NetFailureKind::Flooded) {
        connection->input.clear();  // nothing a flooding server sent is an answer
    }
    if (!connection->input.empty()) {
        return static_cast<long>(connection->input.size());
    }
    if (connection->failure.kind != NetFailureKind::None) {
        error = ConnectionError("Reading from '" + connection->name + "': ", connection->failure);
        return -1;
    }
    return 0;
}

PortWaitResult CNetworkPorts::WaitForInput(PortHandle handle, int timeoutMs, PortError& error) {
    const auto connection = Find(handle);
    if (!connection) {
        error = {PortErrorKind::Other, "Waiting: the port is not open"};
        return PortWaitResult::Failed;
    }
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (connection->cancel.exchange(false)) {
            return PortWaitResult::Cancelled;
        }
        const long waiting = QueuedInput(handle, error);
        if (waiting > 0) {
            return PortWaitResult::DataArrived;
        }
        if (waiting < 0 || connection->closed.load()) {
            if (error.kind == PortErrorKind::None) {
                error = {PortErrorKind::Other,
                         "Waiting on '" + connection->name + "': the port was closed"};
            }
            return PortWaitResult::Failed;
        }
        const int left = MsUntil(deadline);
        if (left == 0) {
            return PortWaitResult::TimedOut;
        }
        if (NetWait(connection->socket, false, std::min(left, kWaitSliceMs)) == NetReady::Failed) {
            error = {PortErrorKind::Vanished,
                     "Waiting on '" + connection->name + "': the connection failed"};
            return PortWaitResult::Failed;
        }
    }
}

void CNetworkPorts::CancelWait(PortHandle handle) {
    if (const auto connection = Find(handle)) {
        connection->cancel = true;
    }
}

void CNetworkPorts::ForgetCancel(PortHandle handle) {
    if (const auto connection = Find(handle)) {
        connection->cancel = false;
    }
}
