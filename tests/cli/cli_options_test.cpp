// The command line: address lists, values out of range, and what each mode requires.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "cli_options.h"
#include "exit_status.h"
#include "pelco_command.h"

namespace {

struct Parsed {
    ParseOutcome outcome;
    std::string out;
    std::string err;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "ptz-upgrade");
    std::ostringstream out;
    std::ostringstream err;
    Parsed parsed{ParseCommandLine(static_cast<int>(args.size()), args.data(), out, err), {}, {}};
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

TEST(AddressList, RangesAndSinglesInTheOrderGiven) {
    std::string error;
    EXPECT_EQ(ParseAddressList("1", error), (std::vector<std::uint8_t>{1}));
    EXPECT_EQ(ParseAddressList("1,4,7-9", error), (std::vector<std::uint8_t>{1, 4, 7, 8, 9}));
    EXPECT_EQ(ParseAddressList("9, 3 - 4 ,255", error), (std::vector<std::uint8_t>{9, 3, 4, 255}));
    EXPECT_EQ(ParseAddressList("1-255", error)->size(), 255U);
}

TEST(AddressList, MalformedListsAreRefusedWithAReason) {
    for (const char* bad : {"", "0", "256", "1,", ",1", "1,,2", "a", "-3", "3-", "9-7", "1-2-3",
                            "1,1", "1-3,2", "+1", "0x10", "1000"}) {
        std::string error;
        EXPECT_FALSE(ParseAddressList(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    std::string error;
    ParseAddressList("4,2-5", error);
    EXPECT_NE(error.find("address 4 is listed twice"), std::string::npos) << error;
}

TEST(CommandLine, DefaultsAndEveryOptionReachTheSession) {
    Parsed p = Parse({"--port", "/dev/ttyUSB0", "fw.bin"});
    ASSERT_FALSE(p.outcome.exitNow) << p.err;
    const UpgradeSessionOptions d = p.outcome.options.SessionFor(1);
    EXPECT_EQ(d.protocolIndex, PELCO_D);
    EXPECT_EQ(d.controlBaudRate, 2400);
    EXPECT_TRUE(d.switchMode);
    EXPECT_EQ(d.answerTimeoutMs, 10000);
    EXPECT_EQ(d.retries, 3);
    EXPECT_EQ(d.ackDelayMs, 20);
    EXPECT_EQ(d.writeMode, WriteMode::Frame);
    EXPECT_FALSE(d.echo);

    p = Parse({"--port",
               "COM3",
               "--port",
               "COM4",
               "--address",
               "5",
               "--protocol",
               "pelco-p",
               "--speed",
               "19200",
               "--no-switch",
               "--answer-timeout",
               "0.25",
               "--retries",
               "0",
               "--ack-delay",
               "0",
               "--write-mode",
               "byte",
               "--echo",
               "--json",
               "-q",
               "--switch-pause",
               "2500",
               "fw.bin"});
    ASSERT_FALSE(p.outcome.exitNow) << p.err;
    const CliOptions& o = p.outcome.options;
    EXPECT_EQ(o.ports, (std::vector<std::string>{"COM3", "COM4"}));
    EXPECT_EQ(o.addresses, (std::vector<std::uint8_t>{5}));
    EXPECT_EQ(o.image, "fw.bin");
    const UpgradeSessionOptions s = o.SessionFor(5);
    EXPECT_EQ(s.address, 5);
    EXPECT_EQ(s.protocolIndex, PELCO_P);
    EXPECT_EQ(s.controlBaudRate, 19200);
    EXPECT_FALSE(s.switchMode);
    EXPECT_EQ(s.switchPauseMs, 2500);
    EXPECT_EQ(s.answerTimeoutMs, 250);
    EXPECT_EQ(s.retries, 0);
    EXPECT_EQ(s.ackDelayMs, 0);
    EXPECT_EQ(s.writeMode, WriteMode::Byte);
    EXPECT_TRUE(s.echo);
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.quiet);
}

TEST(CommandLine, BadValuesAreUsageErrors) {
    const std::vector<std::vector<const char*>> cases = {
        {"--port", "COM1", "--speed", "9601", "fw.bin"},
        {"--port", "COM1", "--speed", "115200", "fw.bin"},
        {"--port", "COM1", "--protocol", "visca", "fw.bin"},
        {"--port", "COM1", "--address", "0", "fw.bin"},
        {"--port", "COM1", "--address", "1-300", "fw.bin"},
        {"--port", "COM1", "--answer-timeout", "0", "fw.bin"},
        {"--port", "COM1", "--answer-timeout", "-1", "fw.bin"},
        {"--port", "COM1", "--answer-timeout", "nan", "fw.bin"},
        {"--port", "", "fw.bin"},
        {"--port", "COM1", "--retries", "-1", "fw.bin"},
        {"--port", "COM1", "--retries", "x", "fw.bin"},
        {"--port", "COM1", "--ack-delay", "-5", "fw.bin"},
        {"--port", "COM1", "--write-mode", "block", "fw.bin"},
        {"--port", "COM1", "--bogus", "fw.bin"},
        {"--port", "COM1", "fw.bin", "extra.bin"},
        {"--port", "COM1"},  // no image
        {"fw.bin"},          // no port
        {"--port", "COM1", "--port", "COM1", "fw.bin"},
        {"--port", "rfc2217://Yard:4001", "--port", "rfc2217://yard:04001", "fw.bin"},
        // Without the command the address selects nothing: one head would take every image.
        {"--port", "COM1", "--no-switch", "--address", "1-3", "fw.bin"},
        {"--port", "COM1", "--no-switch", "--address", "1,2", "fw.bin"},
        // Shorter than the window program gives a head to enter upgrade mode.
        {"--port", "COM1", "--switch-pause", "999", "fw.bin"},
        // A plan names every head itself; its own options need it.
        {"--plan", "site.csv", "--port", "COM1"},
        {"--plan", "site.csv", "--speed", "4800"},
        {"--plan", "site.csv", "--inspect", "fw.bin"},
        {"--plan", "site.csv", "--jobs", "0"},
        {"--port", "COM1", "--report", "r.csv", "fw.bin"},
        {"--port", "COM1", "--resume", "r.csv", "fw.bin"},
        {"--port", "COM1", "--jobs", "2", "fw.bin"},
    };
    for (const auto& args : cases) {
        const Parsed p = Parse(args);
        ASSERT_TRUE(p.outcome.exitNow) << args[args.size() - 2];
        EXPECT_EQ(*p.outcome.exitNow, exit_status::kUsage) << p.err;
        EXPECT_FALSE(p.err.empty());
        EXPECT_FALSE(p.outcome.usageError.empty());
    }
    EXPECT_TRUE(Parse({"--json", "--bogus"}).outcome.json) << "a run that did not parse says so";
}

TEST(CommandLine, ModesWithoutAPortNeedOnlyWhatTheyUse) {
    EXPECT_FALSE(Parse({"--inspect", "fw.bin"}).outcome.exitNow);
    EXPECT_FALSE(Parse({"--emit", "out.bin", "fw.bin"}).outcome.exitNow);
    EXPECT_FALSE(Parse({"--list-ports"}).outcome.exitNow);
    // Two simulated heads are two ports, not the same port twice.
    EXPECT_FALSE(Parse({"--port", "sim", "--port", "sim", "fw.bin"}).outcome.exitNow);
    // A plan whose rows all name their image needs none on the command line.
    const Parsed plan = Parse({"--plan", "site.csv", "--jobs", "3", "--resume", "r.csv"});
    ASSERT_FALSE(plan.outcome.exitNow) << plan.err;
    EXPECT_EQ(plan.outcome.options.jobs, 3);
    EXPECT_EQ(plan.outcome.options.resumeFile, "r.csv");

    const Parsed help = Parse({"--help"});
    ASSERT_TRUE(help.outcome.exitNow);
    EXPECT_EQ(*help.outcome.exitNow, exit_status::kSuccess);
    for (const char* option : {"--port",
                               "--address",
                               "--protocol",
                               "--speed",
                               "--no-switch",
                               "--switch-pause",
                               "--answer-timeout",
                               "--retries",
                               "--ack-delay",
                               "--write-mode",
                               "--trace",
                               "--json",
                               "--echo",
                               "--emit",
                               "--inspect",
                               "--list-ports",
                               "--quiet",
                               "--version",
                               "--plan",
                               "--jobs",
                               "--report",
                               "--resume",
                               "port,address,protocol,speed,image,label"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const Parsed version = Parse({"--version"});
    ASSERT_TRUE(version.outcome.exitNow);
    EXPECT_EQ(*version.outcome.exitNow, exit_status::kSuccess);
    EXPECT_NE(version.out.find("ptz-upgrade"), std::string::npos);
}

}  // namespace
