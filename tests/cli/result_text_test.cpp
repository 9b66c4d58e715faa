// How results read for people and machines: each failure says what arrived and what to try, a
// busy port with no holder names the likely cause, and JSON text stays valid UTF-8.
#include <gtest/gtest.h>

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

TEST(JsonText, EveryStringIsValidUtf8WhateverTheBytes) {
    EXPECT_EQ(JsonString("COM3"), "\"COM3\"");
    EXPECT_EQ(JsonString("a\"b\\c\n\x01\x7f"), "\"a\\\"b\\\\c\\n\\u0001\\u007f\"");
    EXPECT_EQ(JsonString("/dev/tty\xC3\xA9"), "\"/dev/tty\xC3\xA9\"") << "UTF-8 stays as it is";
    EXPECT_EQ(JsonString("\xE4\xB8\xAD"), "\"\xE4\xB8\xAD\"");
    EXPECT_EQ(JsonString("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
    // Stray, truncated, overlong and surrogate sequences become U+FFFD, one per byte.
    EXPECT_EQ(JsonString("tty\xFF"), "\"tty\\ufffd\"");
    EXPECT_EQ(JsonString("\xC3"), "\"\\ufffd\"");
    EXPECT_EQ(JsonString("\xC0\xAF"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");
}

}  // namespace
