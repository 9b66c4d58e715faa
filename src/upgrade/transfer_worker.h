// The transfer worker of the window program: builds each frame of the image in g_Frame, sends
// it as hex text in a few chunks, then waits until the window, acting on the head's answer,
// tells it what to send: the frame after the accepted one, or the same frame again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "go_ahead.h"
#include "hex_text.h"
#include "transfer_rules.h"
#include "transfer_state.h"

// Why a worker ended on its own, as the window is told (the value travels as a message word).
enum class TransferEnd : int {
    PortClosed = 1,       // the port was closed when the worker started: nothing was sent
    WriteFailed = 2,      // a chunk could not be written whole (the port went away)
    ImageUnreadable = 3,  // the image could not be read
};

// Frame bytes in one hex text: as many pairs with their blanks as fill the characters a hex text
// may hold before its end mark (1365), so a frame goes out in four writes (1365, 1365, 1365,
// 12). Every write to a USB serial adapter costs a USB frame, so few writes keep the line's pace.
constexpr std::size_t kFrameChunkBytes = (kHexTextCapacity - 1) / kFrameByteTextChars;

// What the worker needs from the window, called on the worker's thread.
class ITransferHost {
  public:
    virtual ~ITransferHost() = default;
    // Decodes the hex text and writes it in one write; the number of bytes written.
    virtual std::size_t SendHexText(const std::string& text) = 0;
    // g_nSentCount has changed; the window shows it.
    virtual void SentCountChanged() = 0;
    // The worker ended on its own (never called after Stop).
    virtual void TransferEnded(TransferEnd why) = 0;
};

class CTransferWorker {
  public:
    using Clock = std::chrono::steady_clock;

    // `imageLock` guards the image stream's position: held by the worker from its read of a
    // block to its advance of g_nOffset, and by the window whenever it seeks. `baudRate`: the
    // port's speed in bit/s while the frames go out (0: unknown), which gives each frame its
    // time on the wire.
    CTransferWorker(TransferState& state, ITransferHost& host, std::mutex& imageLock, int baudRate);
    ~CTransferWorker();  // stops and joins
    CTransferWorker(const CTransferWorker&) = delete;
    CTransferWorker& operator=(const CTransferWorker&) = delete;

    // Starts the thread; false when it could not be created.
    bool Run();
    // Lets the waiting worker go on with the frame after the one on the line: the next block, or
    // the fill frame after the last block (and after a fill frame the head accepted with 0x82).
    void SendNextFrame() { Release(Order::NextFrame); }
    // Lets the waiting worker send the frame on the line again: same block, same load address.
    void ResendFrame() { Release(Order::Resend); }
    // Asks the worker to end: a wait ends at once, a frame ends before its next chunk. A write
    // held by the line ends only when the port is closed.
    void Stop();
    // Waits for the thread to end. Call Stop (and close the port if a write may be held) first.
    void Join();
    bool Ended() const { return m_ended; }
    bool WaitUntilEnded(int timeoutMs);

    // The frame on the line as an answer that arrived at `arrivedAt` finds it: whether the whole
    // frame could have crossed the wire by then (its last chunk handed to the port, and its wire
    // time passed since its first chunk was), and whether the head has reported it damaged.
    // Nothing before the first frame has been built.
    std::optional<FrameOnLine> FrameOnLineAt(Clock::time_point arrivedAt) const;
    // The head reported the frame on the line damaged: until it goes out again, "complete" is
    // no success.
    void MarkFrameDamaged();
    // The frame the worker built last, which no answer has moved it past: its block, its place
    // in the transfer and its sendings. Nothing before the first frame.
    std::optional<FrameCursor> UnacceptedFrame() const;

  private:
    enum class Order { NextFrame, Resend };
    void Release(Order order);
    // The frame to build now: the first one at g_nOffset, then as the last release said.
    FrameCursor NextCursor(std::int32_t imageSize) const;
    void Main();
    void Serve();
    bool BuildFrame();
    bool SendFrame();
    // Notes when the frame's first or last chunk is handed to the port (its write begins).
    void RecordHandOver(bool firstChunk, bool lastChunk);
    void Finish();

    TransferState& m_state;
    ITransferHost& m_host;
    std::mutex& m_imageLock;
    CGoAhead m_goAhead;
    // Set before each release, read by the worker once the release has passed its wait.
    std::atomic<Order> m_order{Order::NextFrame};
    std::atomic<bool> m_stop{false};

    // The frame on the line, guarded by m_frameMutex (read by the window thread).
    mutable std::mutex m_frameMutex;
    std::optional<FrameCursor> m_frame;
    FrameHandOver m_handOver;
    bool m_frameDamaged = false;
    const int m_baudRate;

    std::mutex m_endMutex;
    std::condition_variable m_endChanged;
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
};
