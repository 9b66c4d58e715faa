// How results read for people and machines: each failure says what arrived and what to try, a
// busy port with no holder names the likely cause, and JSON text stays valid UTF-8.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <string>

#include "exit_status.h"
#include "json_events.h"
#include "port_advice.h"
#include "result_text.h"

namespace {

UpgradeResult AtFrame(UpgradeStatus status, std::int64_t frame) {
    UpgradeResult r;
    r.status = status;
    r.stage = SessionStage::Frames;
    r.frameReached = frame;
    r.framesTotal = 10;
    r.framesAccepted = frame;
    r.loadAddress = 0x20000U + static_cast<std::uint32_t>(frame) * 4096U;
    r.answerTimeoutMs = 10000;
    r.attempts = 1;
    return r;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ResultText, FailuresNameTheFrameWhatArrivedAndTheNextStep) {
    UpgradeResult early = AtFrame(UpgradeStatus::CompleteTooEarly, 3);
    early.answered = true;
    early.answer = 0x84;
    const std::string tooEarly = DescribeResult(early);
    EXPECT_TRUE(Has(tooEarly, "frame 3 of 10")) << tooEarly;
    EXPECT_TRUE(Has(tooEarly, "3 of 10 frames accepted")) << tooEarly;
    EXPECT_TRUE(Has(tooEarly, "NOT complete")) << tooEarly;
    EXPECT_EQ(ExitStatusOf(early.status), exit_status::kHeadFailed);

    const std::string failed = DescribeResult(AtFrame(UpgradeStatus::HeadFailed, 2));
    EXPECT_TRUE(Has(failed, "0x86")) << failed;
    EXPECT_TRUE(Has(failed, "meant for this head")) << failed;
    EXPECT_TRUE(Has(failed, "power-cycle the head")) << failed;
    const std::string timedOut = DescribeResult(AtFrame(UpgradeStatus::HeadTimedOut, 2));
    EXPECT_TRUE(Has(timedOut, "0x87")) << timedOut;
    EXPECT_TRUE(Has(timedOut, "power-cycle the head")) << timedOut;

    UpgradeResult noisy = AtFrame(UpgradeStatus::NoAnswer, 4);
    noisy.strayBytes = {0x55, 0x00};
    noisy.strayCount = 5;
    const std::string noise = DescribeResult(noisy);
    EXPECT_TRUE(Has(noise, "0x55 0x00 and 3 more")) << noise;
    EXPECT_TRUE(Has(noise, "--answer-timeout")) << noise;
    EXPECT_FALSE(Has(DescribeResult(AtFrame(UpgradeStatus::NoAnswer, 4)), "not answers"));

    UpgradeResult fill = AtFrame(UpgradeStatus::EndNotConfirmed, 10);
    fill.fillFrame = true;
    EXPECT_TRUE(Has(DescribeResult(fill), "fill frame"));
    EXPECT_EQ(ExitStatusOf(fill.status), exit_status::kNoAnswer);
}

TEST(ResultText, ABusyPortWithNoHolderNamesBridgesAndExclusiveMode) {
    const std::string advice =
        PortAdvice("/nonexistent/ttyS9", PortError{PortErrorKind::Busy, "busy"});
    EXPECT_TRUE(Has(advice, "ser2net")) << advice;
    EXPECT_TRUE(Has(advice, "exclusive mode")) << advice;
}

TEST(ResultText, APortTakenByBrlttyOrModemManagerSaysHowToStopThem) {
    const PortSurroundings both{{"ModemManager", "brltty"}, "1a86:7523"};
    const std::string vanished =
        PortAdvice("/dev/ttyUSB0", PortError{PortErrorKind::Vanished, "gone"}, both);
    EXPECT_TRUE(Has(vanished, "(sudo apt remove brltty)")) << vanished;
    EXPECT_TRUE(Has(vanished, "(sudo systemctl stop ModemManager)")) << vanished;
    EXPECT_TRUE(Has(vanished, R"(SUBSYSTEM=="tty", ATTRS{idVendor}=="1a86", )"
                              R"(ATTRS{idProduct}=="7523", ENV{ID_MM_DEVICE_IGNORE}="1")"))
        << vanished;

    const PortSurroundings modemManager{{"ModemManager"}, ""};
    const std::string busy =
        PortAdvice("/dev/ttyACM0", PortError{PortErrorKind::Busy, "busy"}, modemManager);
    EXPECT_TRUE(Has(busy, "ModemManager is running")) << busy;
    EXPECT_TRUE(Has(busy, R"(ATTRS{idVendor}=="VVVV")")) << busy;
    EXPECT_FALSE(Has(busy, "brltty")) << busy;

    // Neither takes a port away from someone who may not open it, nor a network port.
    EXPECT_FALSE(
        Has(PortAdvice("/dev/ttyUSB0", PortError{PortErrorKind::PermissionDenied, "denied"}, both),
            "ModemManager"));
    EXPECT_FALSE(Has(
        PortAdvice("rfc2217://127.0.0.1:4001", PortError{PortErrorKind::Vanished, "gone"}, both),
        "brltty"));
}

// A --json line holding `text` as a field, without its line end.
std::string JsonLine(const std::string& text) {
    std::ostringstream out;
    CJsonStream(out).Write(JsonObject{{"port", text}});
    return out.str().substr(0, out.str().size() - 1);
}

TEST(JsonText, EveryStringIsValidUtf8WhateverTheBytes) {
    EXPECT_EQ(JsonLine("COM3"), "{\"port\":\"COM3\"}");
    EXPECT_EQ(JsonLine("a\"b\\c\n\x01\x7f"), "{\"port\":\"a\\\"b\\\\c\\n\\u0001\x7f\"}");
    EXPECT_EQ(JsonLine("/dev/tty\xC3\xA9"), "{\"port\":\"/dev/tty\xC3\xA9\"}") << "UTF-8 stays";
    EXPECT_EQ(JsonLine("\xE4\xB8\xAD\xF0\x9F\x98\x80"),
              "{\"port\":\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"}");
    // Stray, truncated, overlong and surrogate sequences become U+FFFD, one per byte.
    const std::string replaced = "\xEF\xBF\xBD";
    EXPECT_EQ(JsonLine("tty\xFF"), "{\"port\":\"tty" + replaced + "\"}");
    EXPECT_EQ(JsonLine("\xC3"), "{\"port\":\"" + replaced + "\"}");
    EXPECT_EQ(JsonLine("\xC0\xAF"), "{\"port\":\"" + replaced + replaced + "\"}");
    EXPECT_EQ(JsonLine("\xED\xA0\x80"), "{\"port\":\"" + replaced + replaced + replaced + "\"}");
}

TEST(ExitStatus, TheReadmeListsWhatHelpLists) {
    std::ifstream readme(PTZ_README);
    ASSERT_TRUE(readme) << PTZ_README;
    std::string listed;
    const std::regex row(R"re(^\| ([0-9]+) \| (.+) \|$)re");
    bool inTable = false;
    for (std::string line; std::getline(readme, line);) {
        inTable = line == "| status | meaning |" || (inTable && !line.empty());
        std::smatch match;
        if (inTable && std::regex_match(line, match, row)) {
            listed += "  " + match[1].str() + std::string(5 - match[1].length(), ' ') +
                      match[2].str() + "\n";
        }
    }
    const std::string help = ExitStatusHelp();
    EXPECT_EQ(listed, help.substr(help.find('\n') + 1));
    EXPECT_NE(help.find("\n  130  stopped on request"), std::string::npos) << help;
}

}  // namespace
