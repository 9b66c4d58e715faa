// CSerialLink against a pseudo-terminal: settings, both directions, exclusive use, failures.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serial_link.h"

namespace {

using namespace std::chrono_literals;

// Descriptors this process holds, to tell a leak.
long OpenDescriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return std::distance(begin(entries), end(entries));
}

class SerialLinkPty : public ::testing::Test {
  protected:
    // Opens and configures the pty's port side as the window does.
    PortHandle OpenPort(std::uint32_t baudRate = 115200, std::uint8_t parity = 0,
                        std::uint8_t stopBits = 0) {
        link.SetParams(pty.Path(), baudRate, 8, parity, stopBits);
        const PortHandle handle = link.Open();
        EXPECT_NE(handle, kInvalidPortHandle) << link.LastError().message;
        EXPECT_TRUE(link.SetTimeouts(600000, handle));
        EXPECT_TRUE(link.Configure(handle)) << link.LastError().message;
        EXPECT_TRUE(link.CreateEvents());
        return handle;
    }

    // The far end sends XOFF, then a write of `data` starts on another thread and is held.
    std::future<std::size_t> StartWriteHeldByXoff(const std::vector<std::uint8_t>& data,
                                                  PortHandle handle) {
        pty.Send({0x13});
        std::this_thread::sleep_for(50ms);
        return std::async(std::launch::async, [this, &data, handle] {
            return link.Write(data.data(), data.size(), handle);
        });
    }

    termios PortSettings() const {
        termios tio{};
        EXPECT_EQ(::tcgetattr(pty.Slave(), &tio), 0);
        return tio;
    }

    PtyPair pty;
    CSerialLink link;
};

TEST_F(SerialLinkPty, ConfiguresRawEightBitsWithXonXoff) {
    const PortHandle handle = OpenPort();
    const termios tio = PortSettings();
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(::cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY), 0U);
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    link.Close(handle);
}

TEST_F(SerialLinkPty, SoftwareFlowControlCanBeTurnedOffAndOnAgain) {
    const PortHandle handle = OpenPort();
    ASSERT_TRUE(link.SetSoftwareFlowControl(handle, false)) << link.LastError().message;
    EXPECT_EQ(PortSettings().c_iflag & (IXON | IXOFF), 0U);
    const termios after = PortSettings();
    EXPECT_EQ(::cfgetospeed(&after), B115200);
    ASSERT_TRUE(link.SetSoftwareFlowControl(handle, true));
    EXPECT_EQ(PortSettings().c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    link.Close(handle);
    EXPECT_FALSE(link.SetSoftwareFlowControl(handle, false));
    EXPECT_EQ(link.LastError().kind, PortErrorKind::BadSetting);
}

TEST_F(SerialLinkPty, HonoursSpeedParityAndStopBitCodes) {
    struct Case {
        std::uint32_t baud;
        speed_t code;
        std::uint8_t parity;
        std::uint8_t stopBits;
        tcflag_t expected;
    };
    const Case cases[] = {
        {2400, B2400, 2, 0, PARENB},                    // even
        {4800, B4800, 1, 2, PARENB | PARODD | CSTOPB},  // odd, two stop bits
        {9600, B9600, 0, 2, CSTOPB},
        {19200, B19200, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        const PortHandle handle = OpenPort(c.baud, c.parity, c.stopBits);
        const termios tio = PortSettings();
        EXPECT_EQ(::cfgetospeed(&tio), c.code);
        // A pty forces CS8 and clears PARENB whatever is asked; it keeps the rest.
        EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), c.expected & (PARODD | CSTOPB));
        link.Close(handle);
    }
}

TEST_F(SerialLinkPty, RefusedSettingsFailConfigureButLeaveTheHandleClosable) {
    struct Case {
        std::uint32_t baud;
        std::uint8_t byteSize;
        std::uint8_t parity;
        std::uint8_t stopBits;
    };
    const Case cases[] = {
        {12345, 8, 0, 0}, {115200, 9, 0, 0}, {115200, 8, 3, 0}, {115200, 8, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        link.SetParams(pty.Path(), c.baud, c.byteSize, c.parity, c.stopBits);
        const PortHandle handle = link.Open();
        ASSERT_NE(handle, kInvalidPortHandle);
        EXPECT_FALSE(link.Configure(handle));
        EXPECT_EQ(link.LastError().kind, PortErrorKind::BadSetting);
        EXPECT_NE(link.LastError().message.find(pty.Path()), std::string::npos);
        // The caller closes the handle before reporting; the port must be free again after.
        link.Close(handle);
    }
    const PortHandle handle = OpenPort();
    EXPECT_NE(handle, kInvalidPortHandle);
    link.Close(handle);
}

TEST_F(SerialLinkPty, ConfigureDropsBytesThatArrivedBefore) {
    link.SetParams(pty.Path(), 115200, 8, 0, 0);
    const PortHandle handle = link.Open();
    ASSERT_NE(handle, kInvalidPortHandle);
    pty.Send({'x', 'y', '\n'});
    ASSERT_TRUE(pty.PortSideReadable());
    ASSERT_TRUE(link.Configure(handle));
    EXPECT_EQ(link.QueuedInput(handle), 0);
    link.Close(handle);
}

TEST_F(SerialLinkPty, WriteArrivesWholeEvenWhenTheOutputFills) {
    const PortHandle handle = OpenPort();
    const std::uint8_t check[] = {0x3F, 0x3F};
    EXPECT_EQ(link.Write(check, 2, handle), 2U);
    EXPECT_EQ(pty.Receive(2), std::vector<std::uint8_t>({0x3F, 0x3F}));

    // Far more than the pty buffers, so the write must wait for room and resume.
    std::vector<std::uint8_t> big(300000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 7);
    }
    auto received = std::async(std::launch::async, [&] { return pty.Receive(big.size(), 10000); });
    EXPECT_EQ(link.Write(big.data(), big.size(), handle), big.size());
    EXPECT_EQ(received.get(), big);
    link.Close(handle);
}

TEST_F(SerialLinkPty, XoffFromTheFarEndHoldsOutputUntilXon) {
    const PortHandle handle = OpenPort();
    const auto data = PlainBytes(3);
    auto written = StartWriteHeldByXoff(data, handle);
    EXPECT_TRUE(pty.Receive(1, 200).empty());
    pty.Send({0x11});
    EXPECT_EQ(pty.Receive(3), data);
    EXPECT_EQ(written.get(), 3U);
    // The flow-control characters are the line's, never the program's.
    EXPECT_EQ(link.QueuedInput(handle), 0);
    link.Close(handle);
}

TEST_F(SerialLinkPty, ReadTakesWhatIsWaitingUpToTheLimits) {
    const PortHandle handle = OpenPort();
    std::uint8_t buffer[CSerialLink::kMaxChunk + 100];

    // Nothing waiting: nothing read, not an error.
    EXPECT_EQ(link.QueuedInput(handle), 0);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, handle), 0U);
    EXPECT_EQ(link.LastError().kind, PortErrorKind::None);

    // Never more than the caller's buffer holds; the rest stays queued.
    pty.Send(PlainBytes(100));
    ASSERT_EQ(link.WaitForInput(handle, 2000), PortWaitResult::DataArrived);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(link.QueuedInput(handle), 100);
    EXPECT_EQ(link.Read(buffer, 10, handle), 10U);
    EXPECT_EQ(link.QueuedInput(handle), 90);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, handle), 90U);

    // Never more than one chunk, whatever the buffer; every byte in order.
    const auto sent = PlainBytes(6000);
    auto sending = std::async(std::launch::async, [&] { pty.Send(sent); });
    std::vector<std::uint8_t> got;
    while (got.size() < sent.size() &&
           link.WaitForInput(handle, 2000) == PortWaitResult::DataArrived) {
        const std::size_t n = link.Read(buffer, sizeof buffer, handle);
        ASSERT_LE(n, CSerialLink::kMaxChunk);
        got.insert(got.end(), buffer, buffer + n);
    }
    sending.get();
    EXPECT_EQ(got, sent);
    link.Close(handle);
}

TEST_F(SerialLinkPty, SecondOpeningIsRefusedAsBusyUntilTheFirstCloses) {
    const PortHandle first = OpenPort();
    CSerialLink other;
    other.SetParams(pty.Path(), 115200, 8, 0, 0);
    EXPECT_EQ(other.Open(), kInvalidPortHandle);
    EXPECT_EQ(other.LastError().kind, PortErrorKind::Busy);
    EXPECT_EQ(other.LastError().message.rfind("Opening '" + pty.Path() + "': ", 0), 0U);

    link.Close(first);
    const PortHandle second = other.Open();
    EXPECT_NE(second, kInvalidPortHandle) << other.LastError().message;
    other.Close(second);
}

TEST(SerialLinkFailures, MissingPortOrNonTerminalAreReportedWithTheirCause) {
    CSerialLink link;
    link.SetParams("/dev/ptz-no-such-port", 115200, 8, 0, 0);
    EXPECT_EQ(link.Open(), kInvalidPortHandle);
    EXPECT_EQ(link.LastError().kind, PortErrorKind::NotFound);
    EXPECT_EQ(link.LastError().message,
              "Opening '/dev/ptz-no-such-port': No such file or directory");

    char path[] = "/tmp/ptz-link-test-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    link.SetParams(path, 115200, 8, 0, 0);
    const PortHandle handle = link.Open();
    ASSERT_NE(handle, kInvalidPortHandle);
    EXPECT_FALSE(link.SetTimeouts(600000, handle));
    EXPECT_NE(link.LastError().message.find("not a serial port"), std::string::npos);
    link.Close(handle);
    ::close(fd);
    ::unlink(path);
}

TEST(SerialLinkFailures, EveryOperationOnAnInvalidHandleFailsAsAResult) {
    CSerialLink link;
    const std::uint8_t byte = 0x3F;
    std::uint8_t buffer[16];
    EXPECT_FALSE(link.SetTimeouts(600000, kInvalidPortHandle));
    EXPECT_FALSE(link.Configure(kInvalidPortHandle));
    EXPECT_EQ(link.Write(&byte, 1, kInvalidPortHandle), 0U);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, kInvalidPortHandle), 0U);
    EXPECT_EQ(link.QueuedInput(kInvalidPortHandle), -1);
    EXPECT_EQ(link.WaitForInput(kInvalidPortHandle, 10), PortWaitResult::Failed);
    link.CancelWait(kInvalidPortHandle);
    link.Close(kInvalidPortHandle);
}

TEST_F(SerialLinkPty, VanishedPortIsAFailureNotAnEmptyQueue) {
    const PortHandle handle = OpenPort();
    pty.CloseMaster();
    const std::uint8_t byte = 0x3F;
    EXPECT_EQ(link.Write(&byte, 1, handle), 0U);
    EXPECT_EQ(link.LastError().kind, PortErrorKind::Vanished);
    EXPECT_EQ(link.QueuedInput(handle), -1);
    EXPECT_EQ(link.WaitForInput(handle, 1000), PortWaitResult::Failed);
    link.Close(handle);
}

TEST_F(SerialLinkPty, WaitEndsOnDataTimeoutCancelAndClose) {
    const PortHandle handle = OpenPort();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.WaitForInput(handle, 100), PortWaitResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

    pty.Send({0x80});
    EXPECT_EQ(link.WaitForInput(handle, 2000), PortWaitResult::DataArrived);
    std::uint8_t buffer[8];
    EXPECT_EQ(link.Read(buffer, sizeof buffer, handle), 1U);

    // A blocked wait (no time limit) ends on CancelWait.
    auto waiting = std::async(std::launch::async, [&] { return link.WaitForInput(handle); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    link.CancelWait(handle);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), PortWaitResult::Cancelled);

    // A cancel given just before the wait begins is not lost; it is used up once.
    link.CancelWait(handle);
    EXPECT_EQ(link.WaitForInput(handle, 2000), PortWaitResult::Cancelled);
    EXPECT_EQ(link.WaitForInput(handle, 50), PortWaitResult::TimedOut);

    // Closing wakes a waiter too.
    waiting = std::async(std::launch::async, [&] { return link.WaitForInput(handle); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    link.Close(handle);
    ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
    EXPECT_NE(waiting.get(), PortWaitResult::DataArrived);
}

// A write held by XOFF when another thread closes the port: it ends with nothing written, and
// never resumes on a later opening that got the same descriptor number back.
TEST_F(SerialLinkPty, WriteHeldByXoffEndsOnCloseAndNeverReachesTheNextOpening) {
    const PortHandle first = OpenPort();
    const auto data = PlainBytes(3);
    auto written = StartWriteHeldByXoff(data, first);
    ASSERT_EQ(written.wait_for(100ms), std::future_status::timeout);
    link.Close(first);
    const PortHandle second = OpenPort();
    ASSERT_EQ(written.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(written.get(), 0U);
    pty.Send({0x11});
    EXPECT_TRUE(pty.Receive(1, 300).empty());
    // The new opening itself writes as usual.
    EXPECT_EQ(link.Write(data.data(), data.size(), second), 3U);
    EXPECT_EQ(pty.Receive(3), data);
    link.Close(second);
}

TEST_F(SerialLinkPty, WriteHeldByXoffEndsWhenThePortVanishes) {
    const PortHandle handle = OpenPort();
    const auto data = PlainBytes(3);
    auto written = StartWriteHeldByXoff(data, handle);
    ASSERT_EQ(written.wait_for(100ms), std::future_status::timeout);
    pty.CloseMaster();
    ASSERT_EQ(written.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(written.get(), 0U);
    EXPECT_EQ(link.LastError().kind, PortErrorKind::Vanished);
    link.Close(handle);
}

// Openings that succeed, and every way an opening fails, give back all they took.
TEST_F(SerialLinkPty, OpeningAndClosingManyTimesLeaksNoDescriptor) {
    const long before = OpenDescriptors();
    CSerialLink other;
    other.SetParams(pty.Path(), 115200, 8, 0, 0);
    CSerialLink missing;
    missing.SetParams("/dev/ptz-no-such-port", 115200, 8, 0, 0);
    for (int round = 0; round < 200; ++round) {
        const PortHandle handle = OpenPort();
        link.CancelWait(handle);
        EXPECT_EQ(other.Open(), kInvalidPortHandle);
        EXPECT_EQ(missing.Open(), kInvalidPortHandle);
        link.Close(handle);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
