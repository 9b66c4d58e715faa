// ptz-headsim: a simulated pan-tilt head on a pseudo-terminal, for tests, demos and benchmarks
// of the loader on a machine with no head attached.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "head_simulator.h"
#include "ptz_version.h"

namespace {
constexpr const char* kBehaviour = R"(
How the head behaves:
  It starts in its ordinary control mode and listens at --speed for the upgrade-mode command
  addressed to it (Pelco-D FF addr 00 57 00 00 sum; Pelco-P A0 addr-1 00 57 00 00 AF xor).
  Other bytes, commands for other addresses, other commands and commands sent at another line
  speed are logged and ignored. In upgrade mode it listens at 115200 bit/s only: bytes sent at
  any other speed reach it garbled and are lost (logged). 3F 3F is answered 80 and opens a
  transfer; each 4107-byte frame (start mark 73) is checked with the head's own decoder:
    82  good frame carrying the expected block (or the last block again, as a resend)
    83  the 24-bit sum does not match; the block is not stored and may be sent again
    84  good frame with the last-block mark: the image is written to --out first, then the
        head returns to its control mode (or to upgrade mode with --no-command)
    86  good sum but a load address that is neither the expected block's nor a resend of the
        previous one, or a block length other than 0x1000: a real head cannot place such a
        block, so the transfer is abandoned; a new connection check starts over
  A frame interrupted for more than a second is dropped. The line speed the loader had set is
  recorded for every byte that arrives (see --log).

Frame indexes count from 0 and name the image block a frame carries, so a resend has the
same index. Checksum faults fire once, so the resend is accepted.

With several addresses the heads share one line: each enters upgrade mode on its own
command, and --once waits until every one of them has completed an upgrade. With --once the
simulator then stays until the loader has closed the port (30 s at most), so that the last
answer is read however loaded the machine is.

--answer-latency MS models a USB adapter's latency timer (FTDI: 16 ms unless lowered): the
adapter holds what the head sends and lets it out when its timer, running freely from the
start, next expires. Every answer (and echo) thus leaves at the next multiple of MS ms:
up to MS ms late, MS/2 on average, and never sooner than --answer-delay asks.

--buses N serves N buses from one process and one thread, each its own pty with the same
heads and options. The bus number (1 to N) is appended to every path given: --link /tmp/bus
publishes /tmp/bus1 ... /tmp/busN, and --out and --log name one file per bus the same way.
Each link is printed on its own line, in order, once all are ready. With --once the program
ends when every bus has.

Exit status: 0 when stopped by SIGINT/SIGTERM or, with --once, after the upgrade completed;
1 on an error (or, with --once, when it ended without a completed upgrade); 2 usage error.
)";

// "1", "1,4,7-9": bus addresses 1..255 in the order given, each once.
bool ParseAddressList(const std::string& text, std::vector<int>& addresses) {
    // A number of one to three digits, 1..255.
    auto number = [](const std::string& digits, int& value) {
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        value = std::stoi(digits);
        return value >= 1 && value <= 255;
    };
    std::stringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t dash = item.find('-');
        int first = 0;
        int last = 0;
        if (!number(item.substr(0, dash), first) ||
            !number(dash == std::string::npos ? item : item.substr(dash + 1), last) ||
            first > last) {
            return false;
        }
        for (int a = first; a <= last; ++a) {
            if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) {
                addresses.push_back(a);
            }
        }
    }
    return !addresses.empty() && text.back() != ',';
}

int WaitForEnd(HeadSimulator& simulator, const sigset_t& stopSignals) {
    for (;;) {
        const timespec tick{0, 100000000L};  // 100 ms
        siginfo_t info{};
        if (sigtimedwait(&stopSignals, &info, &tick) > 0) {
            return info.si_signo;
        }
        if (!simulator.Running()) {
            return 0;
        }
    }
}

// `bus`: "bus 3: " with several buses, else empty.
void Report(const HeadSimSummary& s, const std::string& outPath, const std::string& bus) {
    std::cerr << "ptz-headsim: " << bus << s.commandsAccepted << " upgrade command(s) accepted, "
              << s.connects << " connection check(s), " << s.framesReceived
              << " frame(s) received (" << s.badSums << " bad sum(s), " << s.resends
              << " resend(s)), " << s.upgradesCompleted << " upgrade(s) completed, " << s.imageBytes
              << " image bytes";
    if (!outPath.empty() && s.imageBytes > 0) {
        std::cerr << " written to " << outPath;
    }
    std::cerr << "\n";
    if (s.vanished) {
        std::cerr << "ptz-headsim: " << bus
                  << "the port was closed mid-frame as asked (--vanish-at)\n";
    }
}
// Where the heads are and how they speak and read.
void AddLineOptions(CLI::App& app, HeadSimOptions& options, std::string& addresses,
                    std::string& protocol) {
    app.add_option("--link", options.linkPath, "symlink to publish to the pty slave (replaced)")
        ->required();
    app.add_option("--address", addresses,
                   "the head's bus address (default 1); a list such as 1,4,7-9 puts several "
                   "heads on the line, each upgraded on its own command");
    app.add_option("--protocol", protocol, "pelco-d (default) or pelco-p")
        ->check(CLI::IsMember({"pelco-d", "pelco-p"}));
    app.add_option("--speed", options.speed, "control speed of the upgrade-mode command (2400)")
        ->check(CLI::IsMember({2400, 4800, 9600, 19200}));
    app.add_flag("--no-command", options.noCommand,
                 "start in upgrade mode, waiting for the connection check");
    app.add_option("--out", options.outPath, "write the received image here (with its padding)");
    app.add_option("--log", options.logPath, "write one JSON object per event here");
    // A real head cannot answer a frame before it has crossed the line, and the loader does not
    // count an answer that comes sooner: the program reads at the transfer speed unless told.
    options.paceBaud = 115200;
    app.add_option("--pace", options.paceBaud,
                   "read no faster than this line rate (bit/s; default 115200, the transfer speed)")
        ->check(CLI::Range(50, 4000000));
    app.add_flag("--once", options.once,
                 "exit 0 once every head has completed an upgrade and the loader has closed the "
                 "port");
}

// What the heads do wrong, and what the line does to their answers.
void AddFaultOptions(CLI::App& app, HeadSimOptions& options) {
    app.add_option("--fault-address", options.faultAddress,
                   "the frame faults (--bad-sum-at, --answer-81-at, --fail-at, --timeout-at) hit "
                   "only this head of the line (default: whichever is upgraded)")
        ->check(CLI::Range(1, 255));
    app.add_option("--bad-sum-at", options.badSumAt, "answer 83 to frame N, once (repeatable)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--answer-81-at", options.answer81At, "answer 81 to frame N, once (repeatable)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--fail-at", options.failAt, "answer 86 to frame N and abandon the transfer")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--timeout-at", options.timeoutAt,
                   "answer 87 to frame N and abandon the transfer")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--silent-after", options.silentAfter, "answer frame N, then nothing at all")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--vanish-at", options.vanishAt,
                   "close the pty halfway through frame N (the port vanishes)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--answer-delay", options.answerDelayMs, "send every answer MS late")
        ->check(CLI::Range(0, 600000));
    app.add_option("--answer-latency", options.answerLatencyMs,
                   "hold every answer until the next tick of a free-running MS-ms timer, as a USB "
                   "adapter's latency timer does (FTDI: 16 unless lowered; see below)")
        ->check(CLI::Range(1, 255));
    app.add_option("--buses", options.buses,
                   "serve N buses from this one process, one pty and link each (see below)")
        ->check(CLI::Range(1, 1024));
    app.add_option("--noise", options.noise, "send N noise bytes (00 55 ...) before every answer")
        ->check(CLI::Range(0, 4096));
    app.add_flag("--echo", options.echo,
                 "send every received byte back at once, as a two-wire RS-485 adapter does");
}

// Runs the simulator until a stop signal (or, with --once, every head's completed upgrade);
// the exit status.
int Serve(const HeadSimOptions& options) {
    // Blocked before the simulator's thread starts, so that only the wait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    HeadSimulator simulator(options);
    std::string error;
    if (!simulator.Start(error)) {
        std::cerr << "ptz-headsim: " << error << "\n";
        return 1;
    }
    for (int bus = 0; bus < options.buses; ++bus) {
        std::cout << BusPath(options.linkPath, bus, options.buses) << "\n";
    }
    std::cout << std::flush;  // a test waits for these lines

    const int signal = WaitForEnd(simulator, stopSignals);
    simulator.Stop();
    int status = 0;
    for (int bus = 0; bus < options.buses; ++bus) {
        const HeadSimSummary summary = simulator.Summary(bus);
        const std::string name = options.buses > 1 ? "bus " + std::to_string(bus + 1) + ": " : "";
        Report(summary, BusPath(options.outPath, bus, options.buses), name);
        if (!summary.error.empty()) {
            std::cerr << "ptz-headsim: " << name << summary.error << "\n";
            status = 1;
        } else if (options.once && signal == 0 && summary.upgradesCompleted == 0) {
            std::cerr << "ptz-headsim: " << name << "ended without a completed upgrade\n";
            status = 1;
        }
    }
    return status;
}

int Run(int argc, char** argv) {
    HeadSimOptions options;
    std::string protocol = "pelco-d";
    std::string addresses = "1";

    CLI::App app{"ptz-headsim: a simulated pan-tilt head on a pseudo-terminal"};
    app.footer(kBehaviour);
    app.set_version_flag("--version", std::string("ptz-headsim ") + PTZ_VERSION);
    AddLineOptions(app, options, addresses, protocol);
    AddFaultOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version print and exit 0; every other parse failure is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.pelcoP = protocol == "pelco-p";
    std::vector<int> heads;
    if (!ParseAddressList(addresses, heads)) {
        std::cerr << "--address: '" << addresses
                  << "' is not an address 1..255 or a list of them such as 1,4,7-9\n"
                  << "Run with --help for more information.\n";
        return 2;
    }
    options.address = heads.front();
    options.moreAddresses.assign(heads.begin() + 1, heads.end());

    return Serve(options);
}
}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "ptz-headsim: " << e.what() << "\n";
        return 1;
    }
}
