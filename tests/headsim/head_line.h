// The loader's side of the simulated head's line, for tests: a simulator on its own pty, the
// slave opened raw as a loader opens a serial port, and frames built by hand, byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "head_simulator.h"

using Bytes = std::vector<std::uint8_t>;

// A frame as the loader builds it: 73, mark, address (4, big-endian), 10 00, 4096 data bytes
// (0xFF past the image), then the 24-bit sum of bytes 1..4103.
Bytes HandFrame(const Bytes& image, std::size_t block, bool last);
Bytes ImageOf(std::size_t size, std::uint8_t seed);  // recognisable bytes, no long runs
Bytes Padded(Bytes image);                           // grown to whole blocks with 0xFF

// A flat JSON object: every key with its value as text (strings unquoted). Empty on a syntax
// error, so a malformed line fails the test that reads it.
std::vector<std::pair<std::string, std::string>> ParseFlatJson(const std::string& line);

class HeadLine : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a simulator with `options` (log and out files in a fresh folder) and opens its line.
    void Start(HeadSimOptions options);
    void OpenPort();
    void ClosePort();
    void SetSpeed(speed_t speed);
    // Writes in pieces of the given sizes, repeated until all is written.
    void Send(const Bytes& bytes, const std::vector<std::size_t>& pieces = {});
    // Reads until `count` bytes came or `timeoutMs` passed.
    Bytes Receive(std::size_t count, int timeoutMs = 3000);
    Bytes ReceiveNothingFor(int ms) { return Receive(1, ms); }
    // Waits until the simulator's counters say it has taken what was sent, as a loader's pause
    // after the command does; a loaded machine may take a while.
    bool WaitForSummary(const std::function<bool(const HeadSimSummary&)>& done,
                        int timeoutMs = 5000);
    // Command at its speed, connection check at 115200: leaves the head waiting for frame 0.
    void Connect(const Bytes& command);
    // Sends the frames of `image` while the head answers 0x82; returns the answers.
    Bytes Upload(const Bytes& image);
    std::vector<std::string> LogEvents() const;  // the "event" of every log line
    std::string ReadFile(const std::string& path) const;

    std::string m_dir;
    std::string m_logPath;
    std::string m_outPath;
    std::unique_ptr<HeadSimulator> m_sim;
    int m_fd = -1;
};
