// The opening sequence against a pseudo-terminal: the step that failed, its reason, and that a
// port which failed a later step is free again.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "port_opening.h"
#include "pty_pair.h"

namespace {

TEST(PortOpening, OpensAndConfiguresThePortAndHandsItBack) {
    PtyPair pty;
    CSerialLink link;
    const PortOpeningResult opened = OpenPortForUpgrade(link, pty.Path(), 9600);
    ASSERT_TRUE(opened.Succeeded()) << opened.error.message;
    EXPECT_NE(opened.handle, kInvalidPortHandle);
    EXPECT_EQ(opened.error.kind, PortErrorKind::None);
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0U);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));

    const std::uint8_t check[] = {0x3F, 0x3F};
    EXPECT_EQ(link.Write(check, sizeof check, opened.handle), 2U);
    EXPECT_EQ(pty.Receive(2), std::vector<std::uint8_t>({0x3F, 0x3F}));
    link.Close(opened.handle);
}

TEST(PortOpening, MissingOrBusyPortFailsAtTheOpenStepWithTheReason) {
    CSerialLink link;
    PortOpeningResult opened = OpenPortForUpgrade(link, "/dev/ptz-no-such-port", 115200);
    EXPECT_EQ(opened.failedStep, PortOpeningStep::Open);
    EXPECT_EQ(opened.handle, kInvalidPortHandle);
    EXPECT_EQ(opened.error.kind, PortErrorKind::NotFound);
    EXPECT_EQ(opened.error.message, "Opening '/dev/ptz-no-such-port': No such file or directory");

    PtyPair pty;
    const PortOpeningResult first = OpenPortForUpgrade(link, pty.Path(), 115200);
    ASSERT_TRUE(first.Succeeded()) << first.error.message;
    CSerialLink other;
    opened = OpenPortForUpgrade(other, pty.Path(), 115200);
    EXPECT_EQ(opened.failedStep, PortOpeningStep::Open);
    EXPECT_EQ(opened.error.kind, PortErrorKind::Busy);
    link.Close(first.handle);
}

// A port left open after a failed step would refuse every later opening as busy.
TEST(PortOpening, PortThatFailsALaterStepIsClosedAgain) {
    PtyPair pty;
    CSerialLink link;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const PortOpeningResult opened = OpenPortForUpgrade(link, pty.Path(), 12345);
        EXPECT_EQ(opened.failedStep, PortOpeningStep::Configure);
        EXPECT_EQ(opened.handle, kInvalidPortHandle);
        EXPECT_EQ(opened.error.kind, PortErrorKind::BadSetting);
        EXPECT_NE(opened.error.message.find("12345"), std::string::npos);
    }
    const PortOpeningResult opened = OpenPortForUpgrade(link, pty.Path(), 115200);
    ASSERT_TRUE(opened.Succeeded()) << opened.error.message;
    link.Close(opened.handle);

    char path[] = "/tmp/ptz-opening-test-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const PortOpeningResult notAPort = OpenPortForUpgrade(link, path, 115200);
        EXPECT_EQ(notAPort.failedStep, PortOpeningStep::SetTimeouts);
        EXPECT_NE(notAPort.error.message.find("not a serial port"), std::string::npos);
    }
    ::close(fd);
    ::unlink(path);
}

}  // namespace
