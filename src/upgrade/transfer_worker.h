// The transfer worker of the window program: builds each frame of the image in g_Frame, sends
// it byte by byte as hex text, then waits until the window, acting on the head's answer,
// releases it (next block, or the same block again after a checksum error).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "../link/transfer_state.h"
#include "go_ahead.h"

// Why a worker ended on its own, as the window is told (the value travels as a message word).
enum class TransferEnd : int {
    PortClosed = 1,       // the port was closed when the worker started: nothing was sent
    WriteFailed = 2,      // a byte could not be written (the port went away)
    ImageUnreadable = 3,  // the image could not be read
};

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
    // `imageLock` guards the image stream's position: held by the worker from its read of a
    // block to its advance of g_nOffset, and by the window whenever it seeks.
    CTransferWorker(TransferState& state, ITransferHost& host, std::mutex& imageLock);
    ~CTransferWorker();  // stops and joins
    CTransferWorker(const CTransferWorker&) = delete;
    CTransferWorker& operator=(const CTransferWorker&) = delete;

    // Starts the thread; false when it could not be created.
    bool Run();
    // Lets the waiting worker go on with the block at g_nOffset.
    void Release() { m_goAhead.Release(); }
    // Asks the worker to end: a wait ends at once, a frame ends before its next byte. A write
    // held by the line ends only when the port is closed.
    void Stop();
    // Waits for the thread to end. Call Stop (and close the port if a write may be held) first.
    void Join();
    bool Ended() const { return m_ended; }
    bool WaitUntilEnded(int timeoutMs);

    // True once the frame that carries the last-block mark has gone out whole and no other
    // frame has begun since: only then does "upgrade complete" mean the image arrived.
    bool LastFrameSent() const { return m_lastFrameSent; }
    // The head reported the last frame damaged: until it has gone out again, "complete" is no
    // success.
    void ForgetLastFrameSent() { m_lastFrameSent = false; }
    // Waits up to `timeoutMs` while the frame marked last is still going out; LastFrameSent().
    bool WaitForLastFrameSent(int timeoutMs);

  private:
    void Main();
    void Serve();
    void Finish();

    TransferState& m_state;
    ITransferHost& m_host;
    std::mutex& m_imageLock;
    CGoAhead m_goAhead;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_lastFrameSent{false};
    std::atomic<bool> m_sendingLastFrame{false};
    std::mutex m_endMutex;
    std::condition_variable m_endChanged;
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
};
