// The upgrade line on a pseudo-terminal: a far end that stops our output with XOFF and never sends
// XON cannot hold a write for ever, and the terminal gets its own settings back at the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "serial_upgrade_line.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kXoff = 0x13;
constexpr std::size_t kFrameBytes = 4107;

// The far end of the line: holds our output back, then takes whatever comes until it has
// `expected` bytes; if its time is up first it hangs up, so a write can never block the test.
class HoldingHead {
  public:
    HoldingHead() {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        m_path = name;
    }
    ~HoldingHead() {
        if (m_reader.joinable()) {
            m_reader.join();
        }
        ::close(m_slave);
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    HoldingHead(const HoldingHead&) = delete;
    HoldingHead& operator=(const HoldingHead&) = delete;

    const std::string& Path() const { return m_path; }

    // Sends XOFF and waits until the port side has acted on it: a stopped terminal takes no
    // byte from a non-blocking write, a running one passes it on (and it is read back here).
    void Hold() const {
        ASSERT_EQ(::write(m_master, &kXoff, 1), 1);
        ASSERT_EQ(::fcntl(m_slave, F_SETFL, O_NONBLOCK), 0);
        const auto end = Clock::now() + std::chrono::seconds(2);
        const std::uint8_t probe = 0;
        while (::write(m_slave, &probe, 1) == 1 && Clock::now() < end) {
            std::uint8_t back = 0;
            pollfd in{m_master, POLLIN, 0};
            if (::poll(&in, 1, 100) > 0) {
                (void)::read(m_master, &back, 1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_LT(Clock::now(), end) << "the terminal never stopped its output";
    }

    void Collect(std::size_t expected, std::chrono::milliseconds limit) {
        m_reader = std::thread([this, expected, limit] {
            const auto end = Clock::now() + limit;
            std::vector<std::uint8_t> buffer(8192);
            while (received < expected && Clock::now() < end) {
                pollfd in{m_master, POLLIN, 0};
                if (::poll(&in, 1, 50) > 0) {
                    const ssize_t n = ::read(m_master, buffer.data(), buffer.size());
                    received += n > 0 ? static_cast<std::size_t>(n) : 0;
                }
            }
            if (received < expected) {  // hang up, so that a stuck write fails instead
                ::close(m_master);
                m_master = -1;
            }
        });
    }

    bool XonXoffOn() const {
        termios tio{};
        return ::tcgetattr(m_slave, &tio) == 0 && (tio.c_iflag & IXON) != 0;
    }

    std::atomic<std::size_t> received{0};

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::thread m_reader;
};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(SerialUpgradeLine, WriteHeldByXoffIsLetGoAfterTheHoldLimitOrOnStop) {
    const std::vector<std::uint8_t> frame(kFrameBytes, 0x55);
    {
        HoldingHead head;
        std::atomic<bool> stop{false};
        CSerialUpgradeLine line(head.Path(), &stop, 300);
        ASSERT_TRUE(line.Open(115200, true)) << line.LastError().message;
        head.Hold();
        head.Collect(frame.size(), std::chrono::seconds(5));
        const auto start = Clock::now();
        EXPECT_TRUE(line.Write(frame.data(), frame.size())) << line.LastError().message;
        EXPECT_GE(SecondsSince(start), 0.25) << "the hold limit is given in full";
        EXPECT_LT(SecondsSince(start), 3.0);
        EXPECT_EQ(line.HeldWritesReleased(), 1);
        EXPECT_TRUE(head.XonXoffOn()) << "flow control is back on for the next write";
        line.Close();
    }
    {
        HoldingHead head;
        std::atomic<bool> stop{false};
        CSerialUpgradeLine line(head.Path(), &stop, 60000);
        ASSERT_TRUE(line.Open(115200, true)) << line.LastError().message;
        head.Hold();
        head.Collect(frame.size(), std::chrono::seconds(5));
        std::thread operatorStops([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop.store(true);
        });
        const auto start = Clock::now();
        EXPECT_TRUE(line.Write(frame.data(), frame.size())) << line.LastError().message;
        EXPECT_LT(SecondsSince(start), 3.0) << "a stop request ends a held write";
        operatorStops.join();
        line.Close();
    }
}

TEST(SerialUpgradeLine, TheTerminalGetsItsSettingsBackWhenThePortCloses) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    before.c_lflag |= ECHO | ICANON | ISIG;
    ASSERT_EQ(::cfsetspeed(&before, B9600), 0);
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &before), 0);
    ASSERT_EQ(::tcgetattr(slave, &before), 0);

    CSerialUpgradeLine line(name);
    for (const std::int32_t speed : {2400, 115200}) {  // as a session opens it
        ASSERT_TRUE(line.Open(speed, true)) << line.LastError().message;
        termios raw{};
        ASSERT_EQ(::tcgetattr(slave, &raw), 0);
        EXPECT_EQ(raw.c_lflag & ECHO, 0U) << "raw while open";
        line.Close();
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(::cfgetospeed(&after), B9600);
    ::close(slave);
    ::close(master);
}

}  // namespace
