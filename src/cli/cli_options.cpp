#include "cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "exit_status.h"
#include "network_port_name.h"
#include "pelco_command.h"
#include "port_identity.h"
#include "ptz_version.h"

namespace {

constexpr int kMinAddress = 1;
constexpr int kMaxAddress = 255;
constexpr double kMaxAnswerTimeoutSeconds = 3600;
constexpr int kMaxRetries = 1000;
constexpr int kMaxAckDelayMs = 60000;
constexpr int kMaxSwitchPauseMs = 60000;
constexpr int kMaxJobs = 4096;
constexpr int kMaxHeadCount = 1000000;

constexpr const char* kPlanHelp = R"(
A plan (--plan FILE) is a CSV file with a header row and one row per head:
  port,address,protocol,speed,image,label
  COM3,1,pelco-d,2400,fw-v2.bin,Gate 3 east
  COM3,2,pelco-d,2400,fw-v2.bin,Gate 3 west
  rfc2217://yard-server:4001,5,pelco-p,4800,old-fw.bin,"Yard, north mast"
image and label may be left out (the image then is IMAGE of the command line); a relative
image path is found beside the plan. Blank lines and lines starting with # are skipped. Every
row is checked and every image read before any port opens, with the checks of --port: a bad
row (a control character in any field included) is a usage error (exit 2) naming its line and
column, and nothing is sent. Heads on one port (however its name is spelled) go one after
another; ports run in parallel. The report's columns: row (the plan's line), label, port,
address, image, image_sha256, start, end (UTC), outcome (upgraded, failed: why, not tried, or
not tried: canary failed / failure limit reached when --canary or --max-failures halted the
rollout), frames, resends; a text that a spreadsheet would take for a formula (starting with
=, +, -, @) is written after a ' and read back without it. A report line that cannot be
written whole starts no further head and ends the run with exit 10. For each head, --resume
trusts the report's last line.)";

std::optional<int> ParseAddress(const std::string& text) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int value = std::stoi(text);
    if (value < kMinAddress || value > kMaxAddress) {
        return std::nullopt;
    }
    return value;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseAddressList(const std::string& text,
                                                          std::string& error) {
    std::vector<std::uint8_t> addresses;
    std::vector<bool> seen(kMaxAddress + 1, false);
    std::stringstream items(text);
    std::string item;
    const std::string rule = "addresses are 1 to 255, e.g. 1 or 1,4,7-9";
    auto add = [&](int address) {
        if (seen[static_cast<std::size_t>(address)]) {
            error = "address " + std::to_string(address) + " is listed twice";
            return false;
        }
        seen[static_cast<std::size_t>(address)] = true;
        addresses.push_back(static_cast<std::uint8_t>(address));
        return true;
    };
    while (std::getline(items, item, ',')) {
        item = Trim(item);
        const auto dash = item.find('-');
        if (dash == std::string::npos) {
            const auto address = ParseAddress(item);
            if (!address) {
                error = "'" + item + "' is not an address: ";
                error += rule;
                return std::nullopt;
            }
            if (!add(*address)) {
                return std::nullopt;
            }
            continue;
        }
        const auto from = ParseAddress(Trim(item.substr(0, dash)));
        const auto to = ParseAddress(Trim(item.substr(dash + 1)));
        if (!from || !to || *from > *to) {
            error = "'" + item + "' is not a range of addresses: ";
            error += rule;
            return std::nullopt;
        }
        for (int address = *from; address <= *to; ++address) {
            if (!add(address)) {
                return std::nullopt;
            }
        }
    }
    if (addresses.empty() || text.empty() || text.back() == ',') {
        error = "'" + text + "' is not an address list: " + rule;
        return std::nullopt;
    }
    return addresses;
}

PortNameFault CheckPortName(const std::string& port, bool noSwitch, std::string& problem) {
    if (!IsNetworkPortName(port)) {
        return PortNameFault::None;
    }
    const auto address = ParseNetworkPortName(port, problem);
    if (!address) {
        return PortNameFault::Malformed;
    }
    if (!noSwitch && address->kind == NetworkPortKind::RawSocket) {
        problem =
            "a raw TCP port cannot change the server's line speed, so the upgrade-mode switch "
            "(the control speed, then 115200) is not possible there. Use rfc2217:// (the server "
            "must speak RFC 2217), or --no-switch with the head already in upgrade mode and the "
            "server's port set to 115200 bit/s";
        return PortNameFault::SwitchOnRawTcp;
    }
    return PortNameFault::None;
}

UpgradeSessionOptions CliOptions::SessionFor(std::uint8_t address) const {
    UpgradeSessionOptions session;
    session.address = address;
    session.protocolIndex = protocolIndex;
    session.controlBaudRate = speed;
    session.switchMode = !noSwitch;
    session.switchPauseMs = switchPauseMs;
    session.answerTimeoutMs = static_cast<int>(std::lround(answerTimeoutSeconds * 1000.0));
    session.retries = retries;
    session.ackDelayMs = ackDelayMs;
    session.writeMode = writeMode;
    session.echo = echo;
    return session;
}

namespace {

// Option values that are text until the checks turn them into settings.
struct OptionTexts {
    std::string addressList = "1";
    std::string protocol = "pelco-d";
    std::string writeMode = "frame";
};

// The head, the port and the line.
void AddHeadOptions(CLI::App& app, CliOptions& o, OptionTexts& texts) {
    app.add_option("IMAGE", o.image,
                   "firmware image (a .bin file); with --plan, for the rows that name none");
    app.add_option("--port", o.ports,
                   "serial port (COM3, \\\\.\\COM12, /dev/ttyUSB0, /dev/serial/by-id/..., a pty), "
                   "rfc2217://HOST:PORT (a network serial server speaking RFC 2217) or "
                   "socket://HOST:PORT (raw TCP, with --no-switch only), HOST a name, IPv4 or "
                   "[IPv6]; or \"sim\" for a simulated head; several: upgraded in parallel")
        ->type_name("NAME")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--address", texts.addressList,
                   "head addresses 1..255, e.g. 1 or 1,4,7-9 (default 1): upgraded one after "
                   "another")
        ->type_name("LIST");
    app.add_option("--protocol", texts.protocol, "pelco-d (default) or pelco-p")
        ->type_name("NAME")
        ->check(
            CLI::IsMember({kProtocolNames[PELCO_D], kProtocolNames[PELCO_P]}, CLI::ignore_case));
    app.add_option("--speed", o.speed,
                   "the head's control speed: 2400 (default), 4800, 9600, 19200")
        ->type_name("BAUD")
        ->check(CLI::IsMember(kControlSpeeds));
    app.add_flag("--no-switch", o.noSwitch,
                 "skip the upgrade-mode command (the head is already in upgrade mode)");
    app.add_option("--switch-pause", o.switchPauseMs,
                   "ms from the upgrade-mode command to the connection check, the last 500 with "
                   "the port closed (default and least 1000, as the window program)")
        ->type_name("MS")
        ->check(CLI::Range(session::kMinSwitchPauseMs, kMaxSwitchPauseMs));
    app.add_option("--answer-timeout", o.answerTimeoutSeconds,
                   "seconds to wait for each answer of the head (default 10)")
        ->type_name("S")
        ->check(CLI::Range(0.001, kMaxAnswerTimeoutSeconds));
    app.add_option("--retries", o.retries,
                   "times one frame is sent again after checksum errors (default 3)")
        ->type_name("N")
        ->check(CLI::Range(0, kMaxRetries));
    app.add_option("--ack-delay", o.ackDelayMs,
                   "pause after an accepted frame before the next, ms (default 20)")
        ->type_name("MS")
        ->check(CLI::Range(0, kMaxAckDelayMs));
    app.add_option("--write-mode", texts.writeMode,
                   "frame (default: one write per frame) or byte (one write per byte)")
        ->type_name("MODE")
        ->check(CLI::IsMember({"frame", "byte"}));
}

// What the run writes, and the runs that open no port.
void AddOutputOptions(CLI::App& app, CliOptions& o) {
    app.add_option("--trace", o.traceFile,
                   "log every byte sent and received, decoded, with time and line speed")
        ->type_name("FILE");
    app.add_flag("--json", o.json, "one JSON object per event on stdout");
    app.add_flag("--echo", o.echo,
                 "the adapter echoes what it sends (two-wire RS-485): drop the echo");
    app.add_option("--emit", o.emitFile,
                   "write the frame stream the transfer would send to FILE, open no port, exit")
        ->type_name("FILE");
    app.add_flag("--inspect", o.inspect,
                 "print the image's frames, bytes to send and time at 115200 bit/s, exit");
    app.add_flag("--list-ports", o.listPorts,
                 "list the serial ports of this machine and exit: one line each, tab-separated: "
                 "name, stable name, USB vendor:product, serial number, description, chip "
                 "(FTDI, CH340, CP210x, PL2303), driver, latency timer");
    app.add_flag("-q,--quiet", o.quiet, "no progress display");
}

void AddPlanOptions(CLI::App& app, CliOptions& o) {
    auto* plan = app.add_option("--plan", o.planFile,
                                "upgrade the heads of a CSV plan (see below) instead of --port "
                                "and --address")
                     ->type_name("FILE");
    app.add_option("--jobs", o.jobs, "with --plan: ports upgraded at once (default: all)")
        ->type_name("N")
        ->check(CLI::Range(1, kMaxJobs))
        ->needs(plan);
    app.add_option("--report", o.reportFile,
                   "with --plan: append one CSV line per head to FILE as each ends")
        ->type_name("FILE")
        ->needs(plan);
    app.add_option("--resume", o.resumeFile,
                   "with --plan: skip the heads REPORT lists as upgraded with the same image "
                   "(and append to REPORT unless --report)")
        ->type_name("REPORT")
        ->needs(plan);
    app.add_option("--canary", o.canary,
                   "with --plan: upgrade the first N heads to do, one at a time, before any "
                   "other; if one of them is not upgraded, no other head starts")
        ->type_name("N")
        ->check(CLI::Range(1, kMaxHeadCount))
        ->needs(plan);
    app.add_option("--max-failures", o.maxFailures,
                   "with --plan: once K heads have failed after they connected, no new head "
                   "starts (those under way finish)")
        ->type_name("K")
        ->check(CLI::Range(1, kMaxHeadCount))
        ->needs(plan);
    app.footer(std::string(kPlanHelp) + "\n\n" + ExitStatusHelp());
}

// The checks of every --port name; the usage error, or nothing.
std::string CheckPorts(const std::vector<std::string>& ports, bool noSwitch) {
    std::string error;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].empty()) {
            return "--port needs a port name (see --list-ports for the ports of this machine)";
        }
        switch (CheckPortName(ports[i], noSwitch, error)) {
            case PortNameFault::None:
                break;
            case PortNameFault::Malformed:
                return "--port: " + error;
            case PortNameFault::SwitchOnRawTcp:
                return "--port " + ports[i] + ": " + error;
        }
        for (std::size_t j = i + 1; j < ports.size() && ports[i] != "sim"; ++j) {
            if (ports[i] == ports[j]) {
                return "--port " + ports[i] + " is given twice";
            }
            // Two buses on one port would take the line from each other.
            if (ports[j] != "sim" && CanonicalPortName(ports[i]) == CanonicalPortName(ports[j])) {
                return "--port " + ports[j] + " is --port " + ports[i] +
                       " under another name: give each port once";
            }
        }
    }
    return {};
}

// The options as settings once they parsed; the usage error, or nothing.
std::string Settle(CliOptions& o, const OptionTexts& texts, const CLI::App& app) {
    if (std::isnan(o.answerTimeoutSeconds)) {  // a range check lets NaN through
        return "--answer-timeout: a number of seconds is needed, e.g. 10 or 0.5";
    }
    if (o.image.empty() && o.planFile.empty()) {
        return "IMAGE is required: the firmware image to load";
    }
    std::string error;
    const auto addresses = ParseAddressList(texts.addressList, error);
    if (!addresses) {
        return "--address: " + error;
    }
    o.addresses = *addresses;
    if (o.noSwitch && o.addresses.size() > 1) {
        // Without the command nothing selects a head: every one in upgrade mode takes the frames.
        return "--no-switch takes one --address: without the upgrade-mode command the address "
               "selects no head, so the same head would be upgraded once per address";
    }
    o.protocolIndex = ProtocolIndexForName(texts.protocol).value_or(PELCO_D);
    o.protocolName = kProtocolNames[o.protocolIndex];
    o.writeMode = texts.writeMode == "byte" ? WriteMode::Byte : WriteMode::Frame;
    if (o.inspect || !o.emitFile.empty()) {
        if (!o.planFile.empty()) {
            return "--plan cannot go with --inspect or --emit: those take the image alone";
        }
        return {};
    }
    if (!o.planFile.empty()) {
        for (const char* option : {"--port", "--address", "--protocol", "--speed"}) {
            if (app.count(option) > 0) {
                return std::string(option) +
                       " cannot go with --plan: the plan names every head's port, "
                       "address, protocol and speed";
            }
        }
        return {};
    }
    if (o.ports.empty()) {
        return "--port is required (see --list-ports for the ports of this machine)";
    }
    return CheckPorts(o.ports, o.noSwitch);
}

}  // namespace

ParseOutcome ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                              std::ostream& err) {
    ParseOutcome outcome;
    CliOptions& o = outcome.options;
    CLI::App app{
        "ptz-upgrade: loads a firmware image into pan-tilt camera heads over a serial "
        "line",
        "ptz-upgrade"};
    app.set_version_flag("--version", std::string("ptz-upgrade ") + PTZ_VERSION);
    app.get_formatter()->column_width(24);
    OptionTexts texts;
    AddHeadOptions(app, o, texts);
    AddOutputOptions(app, o);
    AddPlanOptions(app, o);

    for (int i = 1; i < argc; ++i) {
        outcome.json = outcome.json || std::string(argv[i]) == "--json";
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        outcome.exitNow = code == 0 ? exit_status::kSuccess : exit_status::kUsage;
        if (code != 0) {
            outcome.usageError = e.what();
        }
        return outcome;
    }
    if (o.listPorts) {
        return outcome;
    }
    outcome.usageError = Settle(o, texts, app);
    if (!outcome.usageError.empty()) {
        err << "ptz-upgrade: " << outcome.usageError << "\nRun with --help for more information.\n";
        outcome.exitNow = exit_status::kUsage;
    }
    return outcome;
}
