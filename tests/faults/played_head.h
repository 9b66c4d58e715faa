// A head the test plays on a pty, for faults ptz-headsim does not make: it answers the
// connection check, takes 4107-byte frames with its own small decoder, keeps every block whose
// sum is good, and answers each frame as the test's script says, chunk by chunk.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "pty_pair.h"

struct PlayedFrame {
    int sequence = 0;  // frames received so far, resends included, from 0
    std::uint32_t loadAddress = 0;
    bool markedLast = false;
    bool sumGood = false;
};

// Chunks go out `gapMs` apart, the first after `delayMs`; no chunks: the head stays silent.
// A paced answer counts its delay from the moment the frame has crossed the wire (4107 bytes at
// 115200 bit/s from its first byte on), as from a head that reads at the line's pace; an
// unpaced one from the moment the frame came whole through the pty's buffers, which is sooner
// than any real head can answer.
struct PlayedAnswer {
    std::vector<std::vector<std::uint8_t>> chunks;
    int delayMs = 0;
    int gapMs = 40;
    bool paced = true;
};

class PlayedHead {
  public:
    using Script = std::function<PlayedAnswer(const PlayedFrame&, const PlayedHead&)>;

    // `answerCheck` false: the connection check goes unanswered (a head that is not there).
    explicit PlayedHead(Script script = HonestScript(), bool answerCheck = true);
    ~PlayedHead();
    PlayedHead(const PlayedHead&) = delete;
    PlayedHead& operator=(const PlayedHead&) = delete;

    const std::string& PortPath() const { return m_pty.Path(); }
    PtyPair& Pty() { return m_pty; }
    // The port goes away (for a script, on the head's own thread): the pty's far end closes.
    void ClosePort() const { m_portClosed = true; }
    void SetScript(Script script);

    // Every good block kept since the last connection check, from load address 0x20000 on
    // until the first gap: what a head would flash.
    std::vector<std::uint8_t> Image() const;
    bool HasEveryBlockUpTo(std::uint32_t loadAddress) const;
    int FramesReceived() const { return m_frames.load(); }
    // The load address of every frame received, in order.
    std::vector<std::uint32_t> Addresses() const;
    // Every frame received, whole, in order.
    std::vector<std::vector<std::uint8_t>> Frames() const;
    int ChecksReceived() const { return m_checks.load(); }
    // Waits until `count` frames have come; false when the time passes.
    bool WaitForFrames(int count, int timeoutMs) const;

    // 0x82 to every good frame, 0x83 to a bad sum, 0x84 to a frame marked last once every
    // block before it has come (0x86 when blocks are missing).
    static Script HonestScript();
    // Honest, but the image file at `path` changes on disk as the first frame arrives: it grows
    // by a block of 'x', or shrinks to one block and ten bytes.
    static Script ChangingImageScript(std::string path, bool grows);
    static PlayedAnswer Answer(std::uint8_t byte) { return PlayedAnswer{{{byte}}, 0, 40}; }

  private:
    void Run();
    void Take(const std::uint8_t* bytes, std::size_t count);
    void FinishFrame();
    // `frameStart`: when the frame answered began to arrive (none for the connection check).
    void Play(const PlayedAnswer& answer,
              std::optional<std::chrono::steady_clock::time_point> frameStart = std::nullopt);
    // Sleeps, but not past the end of the head.
    void Pause(int ms) const;

    PtyPair m_pty;
    Script m_script;
    bool m_answerCheck;
    mutable std::mutex m_mutex;  // m_script, m_blocks, m_addresses, m_received
    std::map<std::uint32_t, std::vector<std::uint8_t>> m_blocks;
    std::vector<std::uint32_t> m_addresses;
    std::vector<std::vector<std::uint8_t>> m_received;
    std::vector<std::uint8_t> m_frame;
    std::chrono::steady_clock::time_point m_frameStart;
    bool m_checkPending = false;
    std::atomic<int> m_frames{0};
    std::atomic<int> m_checks{0};
    std::atomic<bool> m_stop{false};
    mutable std::atomic<bool> m_portClosed{false};
    std::thread m_thread;
};
