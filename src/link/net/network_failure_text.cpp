#include "network_failure_text.h"

std::string ConnectFailureText(const NetworkPortAddress& address, const NetFailure& failure,
                               int limitMs) {
    const std::string where = "Connecting to " + address.HostAndPort() + ": ";
    switch (failure.kind) {
        case NetFailureKind::Refused:
            return where + "connection refused — is the serial server listening on that port?";
        case NetFailureKind::Unresolved:
            return where + "the name '" + address.host + "' does not resolve (" + failure.reason +
                   ") — check the server's name or use its address";
        case NetFailureKind::LookupTimedOut:
            return where + "the name '" + address.host + "' did not resolve within " +
                   std::to_string(limitMs / 1000) +
                   " s (no answer from the name service) — check the name service, or use the "
                   "server's address";
        case NetFailureKind::Unreachable:
            return where + failure.reason + " — check the network and the server's address";
        case NetFailureKind::TimedOut:
            return where + "no answer within " + std::to_string(limitMs / 1000) +
                   " s — check the server's address and that it is on and reachable";
        case NetFailureKind::Closed:
        case NetFailureKind::Flooded:
        case NetFailureKind::Other:
        case NetFailureKind::None:
            break;
    }
    return where + failure.reason;
}

std::string ClosedText() {
    return "the serial server closed the connection — another client may have taken the port "
           "(servers often drop the older connection), or the server stopped";
}

PortError ConnectionError(const std::string& where, const NetFailure& failure,
                          const std::string& closedTail) {
    if (failure.kind == NetFailureKind::Flooded) {
        return {PortErrorKind::Other, where + failure.reason};
    }
    return {PortErrorKind::Vanished, where + ClosedText() + closedTail};
}
