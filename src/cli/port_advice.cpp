#include "port_advice.h"

#include "network_port_name.h"
#include "port_list.h"

namespace {

// The link's message has said what failed; this says what to look at on the server's side.
std::string NetworkPortAdvice(const PortError& error) {
    switch (error.kind) {
        case PortErrorKind::NotFound:
            return "Check the server's address and port in the name (rfc2217://HOST:PORT or "
                   "socket://HOST:PORT), that the server is on, and that this machine reaches "
                   "it.";
        case PortErrorKind::BadSetting:
            return "The serial server did not take the line settings: its port must speak "
                   "Telnet with RFC 2217 (ser2net: accepter telnet(rfc2217),tcp,PORT) and its "
                   "device must support the speed.";
        case PortErrorKind::Vanished:
            return "The connection to the serial server ended while in use: make sure no other "
                   "client uses that port, check the network, then run the upgrade again (the "
                   "head waits in upgrade mode).";
        case PortErrorKind::Held:
            return "The line held our output back (XOFF): check the head, the cable and the "
                   "serial server's flow control, then try again.";
        case PortErrorKind::LineError:
        case PortErrorKind::Busy:
        case PortErrorKind::PermissionDenied:
        case PortErrorKind::None:
        case PortErrorKind::Other:
            break;
    }
    return "Check the serial server and the network between it and this machine.";
}

std::string ExistingPorts() {
    const auto ports = ListSerialPorts();
    if (ports.empty()) {
        return "No serial ports were found on this machine: plug in the adapter and check that "
               "its driver is loaded.";
    }
    std::string text = "The serial ports of this machine are:";
    for (const SerialPortInfo& info : ports) {
        text += "\n  " + info.name;
        if (!info.stablePath.empty()) {
            text += "  " + info.stablePath;
        }
        if (!info.description.empty()) {
            text += "  (" + info.description + ")";
        }
    }
    return text;
}

// A udev rule that keeps ModemManager off the adapter with these USB ids ("0403:6001").
std::string ModemManagerRule(const std::string& vidPid) {
    const std::size_t colon = vidPid.find(':');
    const bool known = colon != std::string::npos;
    return std::string("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"") +
           (known ? vidPid.substr(0, colon) : "VVVV") + "\", ATTRS{idProduct}==\"" +
           (known ? vidPid.substr(colon + 1) : "PPPP") + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"" +
           (known ? "" : " (the adapter's ids from --list-ports)");
}

// How to stop the running programs that claim adapters from taking this one (Debian, Ubuntu).
std::string ClaimerAdvice(const PortSurroundings& surroundings) {
    std::string text;
    for (const std::string& claimer : surroundings.claimers) {
        if (claimer == kBrlttyProgram) {
            text +=
                "\nbrltty (the braille display service) is running: it takes CH340 and CP210x "
                "adapters for itself as they are plugged in, so their port appears and "
                "vanishes. Unless a braille display is used here, remove it (sudo apt remove "
                "brltty) and plug the adapter in again.";
        } else if (claimer == kModemManagerProgram) {
            text +=
                "\nModemManager is running: it probes new serial ports with AT commands for "
                "several seconds, so the port is busy and the head hears bytes that are not for "
                "it. Stop it (sudo systemctl stop ModemManager), or keep it off this adapter for "
                "good with a udev rule in /etc/udev/rules.d/99-ptz-upgrade.rules: " +
                ModemManagerRule(surroundings.vidPid) +
                " (then sudo udevadm control --reload, and plug the adapter in again).";
        }
    }
    return text;
}

std::string LocalPortAdvice(const std::string& port, const PortError& error) {
    switch (error.kind) {
        case PortErrorKind::NotFound:
            return "The port '" + port + "' does not exist. " + ExistingPorts();
        case PortErrorKind::Busy: {
            const std::string holders = DescribePortHolders(port);
            if (holders.empty()) {
                // Exclusive mode outlives a killed or crashed program while anything else keeps
                // the port open, and a bridge holding it is often a service nobody sees.
                return "The port '" + port +
                       "' is in use, by no program that can be named here. A program that "
                       "bridges the port (ser2net, socat, a terminal server) may hold it open, "
                       "or a program that was killed or crashed left it in exclusive mode while "
                       "such a program kept it open: stop the bridge (or the program of another "
                       "user), or unplug and plug in the adapter, and try again.";
            }
            return "The port '" + port + "' is in use by " + holders +
                   ": close that program (or end its session) and try again.";
        }
        case PortErrorKind::PermissionDenied:
            return "You may not open '" + port +
                   "'. On Linux, add yourself to the dialout group (sudo usermod -aG dialout "
                   "$USER), then log out and in again.";
        case PortErrorKind::BadSetting:
            return "The port '" + port +
                   "' refused the line settings: check that it is a serial port and that its "
                   "adapter supports the speed.";
        case PortErrorKind::Vanished:
            return "The port '" + port +
                   "' went away while in use: check the adapter and the cable, then run the "
                   "upgrade again (the head waits in upgrade mode).";
        case PortErrorKind::LineError:
            return "The line reported errors: check the cable, its termination and the speed.";
        case PortErrorKind::Held:
            return "The line held our output back (XOFF): check the head, the cable and any "
                   "flow control set on the adapter or serial server, then try again.";
        case PortErrorKind::None:
        case PortErrorKind::Other:
            break;
    }
    return "Check the port name (see --list-ports) and the adapter.";
}

// A port that vanishes or is busy may have been taken by a program that claims adapters.
bool MayBeClaimed(PortErrorKind kind) {
    return kind == PortErrorKind::NotFound || kind == PortErrorKind::Busy ||
           kind == PortErrorKind::Vanished;
}

}  // namespace

std::string PortAdvice(const std::string& port, const PortError& error) {
    PortSurroundings surroundings;
    if (!IsNetworkPortName(port) && MayBeClaimed(error.kind)) {
        surroundings.claimers = RunningPortClaimers();
        if (!surroundings.claimers.empty()) {
            surroundings.vidPid = DescribeSerialPort(port).vidPid;
        }
    }
    return PortAdvice(port, error, surroundings);
}

std::string PortAdvice(const std::string& port, const PortError& error,
                       const PortSurroundings& surroundings) {
    if (IsNetworkPortName(port)) {
        return NetworkPortAdvice(error);
    }
    const std::string advice = LocalPortAdvice(port, error);
    return MayBeClaimed(error.kind) ? advice + ClaimerAdvice(surroundings) : advice;
}
