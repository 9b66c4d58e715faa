#include "transfer_worker.h"

#include <algorithm>
#include <system_error>

#include "thread_priority.h"
#include "upgrade_frame.h"

CTransferWorker::CTransferWorker(TransferState& state, ITransferHost& host, std::mutex& imageLock,
                                 int baudRate)
    : m_state(state), m_host(host), m_imageLock(imageLock), m_baudRate(baudRate) {}

CTransferWorker::~CTransferWorker() {
    Stop();
    Join();
}

bool CTransferWorker::Run() {
    try {
        m_thread = std::thread(&CTransferWorker::Main, this);
    } catch (const std::system_error&) {
        Finish();
        return false;
    }
    return true;
}

void CTransferWorker::Stop() {
    m_stop = true;
    m_goAhead.Cancel();
}

void CTransferWorker::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CTransferWorker::WaitUntilEnded(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_endMutex);
    return m_endChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return m_ended.load(); });
}

std::optional<FrameOnLine> CTransferWorker::FrameOnLineAt(Clock::time_point arrivedAt) const {
    const std::lock_guard<std::mutex> lock(m_frameMutex);
    if (!m_frame) {
        return std::nullopt;
    }
    FrameOnLine frame;
    frame.role = m_frame->role;
    frame.attempt = m_frame->attempt;
    frame.wholeFrameOut = WholeFrameCouldBeOut(m_handOver, arrivedAt);
    frame.reportedDamaged = m_frameDamaged;
    return frame;
}

std::optional<FrameCursor> CTransferWorker::UnacceptedFrame() const {
    const std::lock_guard<std::mutex> lock(m_frameMutex);
    return m_frame;
}

void CTransferWorker::Release(Order order) {
    m_order = order;
    m_goAhead.Release();
}

FrameCursor CTransferWorker::NextCursor(std::int32_t imageSize) const {
    const std::lock_guard<std::mutex> lock(m_frameMutex);
    if (!m_frame) {
        return FrameAt(m_state.g_nOffset, imageSize);
    }
    return m_order == Order::Resend ? ResendOf(*m_frame) : FrameAfter(*m_frame, imageSize);
}

void CTransferWorker::MarkFrameDamaged() {
    const std::lock_guard<std::mutex> lock(m_frameMutex);
    m_frameDamaged = true;
}

void CTransferWorker::Finish() {
    {
        const std::lock_guard<std::mutex> lock(m_endMutex);
        m_ended = true;
    }
    m_endChanged.notify_all();
}

void CTransferWorker::Main() {
    RaiseLineThreadPriority();
    Serve();
    Finish();
}

void CTransferWorker::Serve() {
    if (m_state.g_bPortOpen == 0) {
        m_host.TransferEnded(TransferEnd::PortClosed);
        return;
    }
    while (BuildFrame() && SendFrame() && m_goAhead.Wait()) {
    }
}

// Builds the frame the last release asked for in g_Frame; false when the worker ends (the image
// could not be read).
bool CTransferWorker::BuildFrame() {
    const std::lock_guard<std::mutex> lock(m_imageLock);
    const std::int32_t imageSize = m_state.g_nImageSize;
    const FrameCursor cursor = NextCursor(imageSize);
    std::FILE* image = m_state.g_pImage;
    // The stream is placed at the block first, so a seek can never be lost or doubled.
    const bool placed = image != nullptr && std::fseek(image, cursor.offset, SEEK_SET) == 0;
    const FrameReadResult read =
        placed ? BuildUpgradeFrame(image, cursor.offset, imageSize, m_state.g_Frame)
               : FrameReadResult{};
    if (!read.ok) {
        if (!m_stop) {
            m_host.TransferEnded(TransferEnd::ImageUnreadable);
        }
        return false;
    }
    {
        const std::lock_guard<std::mutex> frameLock(m_frameMutex);
        m_frame = cursor;
        m_handOver = FrameHandOver{};
        m_handOver.bytes = kUpgradeFrameBytes;
        m_handOver.baudRate = m_baudRate;
        m_frameDamaged = false;
    }
    m_state.g_nOffset = cursor.NextOffset();
    m_state.g_nBlockLen = cursor.blockLen;
    return true;
}

// Sends g_Frame in chunks; false when the worker ends (stopped, or a chunk cut short).
bool CTransferWorker::SendFrame() {
    const FrameBuffer& frame = m_state.g_Frame;
    for (std::size_t at = 0; at < frame.size(); at += kFrameChunkBytes) {
        if (m_stop) {
            return false;
        }
        const std::size_t count = std::min(kFrameChunkBytes, frame.size() - at);
        const bool last = at + count == frame.size();
        if (last) {
            // Marked waiting before the last chunk goes out, not after: the head may answer the
            // moment it has the last byte, and an answer that found the worker "sending" would
            // release nothing and leave the transfer stuck. The go-ahead keeps a release given
            // before the wait.
            m_state.g_bGoAhead = 0;
        }
        RecordHandOver(at == 0, last);
        const std::size_t written = m_host.SendHexText(FormatFrameChunkText(&frame[at], count));
        // Only bytes that reached the port are counted; a chunk cut short ends the transfer.
        const std::size_t counted = std::min(written, count);
        if (counted > 0) {
            m_state.g_nSentCount.fetch_add(static_cast<std::int32_t>(counted));
            m_host.SentCountChanged();
        }
        if (counted != count) {
            if (last) {
                // The frame never went out whole: no answer can be its answer.
                const std::lock_guard<std::mutex> lock(m_frameMutex);
                m_handOver.lastByteAt.reset();
            }
            if (!m_stop) {
                m_host.TransferEnded(TransferEnd::WriteFailed);
            }
            return false;
        }
    }
    return true;
}

void CTransferWorker::RecordHandOver(bool firstChunk, bool lastChunk) {
    if (!firstChunk && !lastChunk) {
        return;
    }
    const Clock::time_point now = Clock::now();
    const std::lock_guard<std::mutex> lock(m_frameMutex);
    if (firstChunk) {
        m_handOver.firstByteAt = now;
    }
    if (lastChunk) {
        m_handOver.lastByteAt = now;
    }
}
