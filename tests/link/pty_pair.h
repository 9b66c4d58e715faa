// A pseudo-terminal for the link tests: the link opens the slave by its path, the test plays
// the far end of the line on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class PtyPair {
  public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        m_path = name;
    }
    ~PtyPair() {
        CloseMaster();
        if (m_slave >= 0) {
            ::close(m_slave);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& Path() const { return m_path; }
    // The test's own descriptor of the port side, to look at its settings.
    int Slave() const { return m_slave; }

    void CloseMaster() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

    // Sends bytes towards the port, in one write.
    void Send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                throw std::runtime_error("write to pty master failed");
            }
            done += static_cast<std::size_t>(n);
        }
    }

    // Collects what the port sent until `count` bytes have come or `timeoutMs` passed.
    std::vector<std::uint8_t> Receive(std::size_t count, int timeoutMs = 2000) const {
        std::vector<std::uint8_t> got;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd in{m_master, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&in, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // What the port has sent so far, after waiting up to `timeoutMs` for the first of it.
    std::vector<std::uint8_t> ReceiveSome(int timeoutMs) const {
        pollfd in{m_master, POLLIN, 0};
        if (::poll(&in, 1, timeoutMs) <= 0) {
            return {};
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        return n > 0 ? std::vector<std::uint8_t>(buffer, buffer + n) : std::vector<std::uint8_t>{};
    }

    // Waits until the port has sent something to read here.
    bool PortSideReadableFromMaster(int timeoutMs) const {
        pollfd in{m_master, POLLIN, 0};
        return ::poll(&in, 1, timeoutMs) > 0;
    }

    // Bytes the port has sent that nobody has read yet.
    std::size_t Pending() const {
        int waiting = 0;
        return ::ioctl(m_master, FIONREAD, &waiting) == 0 && waiting > 0
                   ? static_cast<std::size_t>(waiting)
                   : 0;
    }

    // Waits until the port side has at least one byte to read.
    bool PortSideReadable(int timeoutMs = 2000) const {
        pollfd in{m_slave, POLLIN, 0};
        return ::poll(&in, 1, timeoutMs) > 0;
    }

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// Bytes that are never flow-control characters, so a pty with XON/XOFF passes them all.
inline std::vector<std::uint8_t> PlainBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>('A' + i % 26);
    }
    return bytes;
}
