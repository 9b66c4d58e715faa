// A simulated pan-tilt head on a pseudo-terminal: it answers the upgrade-mode command, the
// connection check and the upgrade frames as a head does, checks every byte it receives, writes
// the image it received, and misbehaves on demand. Runs on its own thread; the loader opens the
// pty slave (or the symlink published to it) as if it were a serial port. One simulator may
// serve many buses, each a pty of its own with the same heads, on that one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct HeadSimOptions {
    std::string linkPath;  // symlink published to the pty slave; empty: publish none
    int address = 1;       // the head's bus address, 1..255
    // Further heads on the same line, each entering upgrade mode on its own command, so that
    // a batch of addresses can be upgraded one after another; they share the other options.
    std::vector<int> moreAddresses;
    bool pelcoP = false;     // control protocol: Pelco-P, else Pelco-D
    int speed = 2400;        // control speed in bit/s at which the upgrade-mode command is heard
    bool noCommand = false;  // start in upgrade mode, waiting for the connection check
    std::string outPath;     // where to write the received image (every block, padding included)
    std::string logPath;     // JSON lines, one per event
    int paceBaud = 0;  // consume bytes no faster than paceBaud/10 bytes per second; 0: at once
    // Stop once every head on the line has completed an upgrade and the loader has closed the
    // port (so that it reads the last answer whatever the load).
    bool once = false;
    // Buses served, each with its own pty and, from the path options, its own link, log and
    // image file (see BusPath).
    int buses = 1;
    // Everything sent to the loader leaves at the next tick of a free-running timer of this
    // period (ms), as a USB adapter's latency timer lets out what it holds: up to that late.
    int answerLatencyMs = 0;

    // Faults. Frame indexes count from 0 and name the image block the frame carries, so a resent
    // frame keeps its index; each checksum fault fires once, so the resend is accepted.
    int faultAddress = 0;  // the frame faults below hit only this head of the line; 0: any head
    std::vector<int> badSumAt;    // answer 0x83 to these frames (the block is not stored)
    std::vector<int> answer81At;  // answer 0x81 to these frames (the block is not stored)
    int failAt = -1;              // answer 0x86 to this frame and abandon the transfer
    int timeoutAt = -1;           // answer 0x87 to this frame and abandon the transfer
    int silentAfter = -1;         // answer nothing at all once this frame has been answered
    int vanishAt = -1;            // close the pty halfway through this frame
    int answerDelayMs = 0;        // send every answer this late
    int noise = 0;                // bytes of line noise (0x00, 0x55, ...) sent before every answer
    bool echo = false;            // send every received byte back, as a two-wire RS-485 adapter
};

struct HeadSimSummary {
    int commandsAccepted = 0;   // upgrade-mode commands for a head on the line, at its speed
    int commandsIgnored = 0;    // complete commands ignored: other address, other speed, other data
    int connects = 0;           // connection checks answered with 0x80
    int framesReceived = 0;     // complete frames, good or bad
    int framesAccepted = 0;     // frames answered 0x82 or 0x84
    int resends = 0;            // frames carrying a block already received or refused before
    int badSums = 0;            // frames whose sum did not match
    int badFrames = 0;          // frames with a good sum but a wrong load address or block length
    int upgradesCompleted = 0;  // transfers answered 0x84
    int lastAddress = 0;        // the head that last entered upgrade mode
    std::int64_t imageBytes = 0;    // bytes of the last image received (whole blocks)
    std::int64_t bytesIgnored = 0;  // bytes that were neither a command, a check nor a frame
    int commandBaud = 0;            // line speed of the last accepted upgrade-mode command
    int frameBaud = 0;              // line speed the last frame arrived at
    bool vanished = false;          // the pty was closed on purpose (vanishAt)
    std::string error;              // why the simulator stopped on its own, empty if it did not
};

// What a path option names for bus `bus` (0-based) of `buses`: the path itself for one bus, else
// the path with the bus's number from 1 appended ("/tmp/bus" gives /tmp/bus1 ... /tmp/bus16).
std::string BusPath(const std::string& path, int bus, int buses);

class HeadSimulator {
  public:
    explicit HeadSimulator(HeadSimOptions options);
    ~HeadSimulator();  // stops, joins the thread, removes the symlink
    HeadSimulator(const HeadSimulator&) = delete;
    HeadSimulator& operator=(const HeadSimulator&) = delete;

    // Creates the pty, opens its log and publishes the link, then starts the thread. On failure
    // `error` says what failed and nothing is left running.
    bool Start(std::string& error);
    int Buses() const;
    const std::string& SlavePath(int bus = 0) const;  // the pty slave the link points at
    void Stop();  // idempotent; writes a partial image to outPath
    // True once every head on every line has completed an upgrade (0x84 sent, outPath
    // written); false when the time limit passes or the simulator stopped before that.
    bool WaitUntilDone(int timeoutMs);
    bool Running() const;  // false once stopped, or every bus vanished, failed or ended (`once`)
    HeadSimSummary Summary(int bus = 0) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
