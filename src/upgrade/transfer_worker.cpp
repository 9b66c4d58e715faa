#include "transfer_worker.h"

#include <chrono>
#include <system_error>

#include "../link/hex_text.h"
#include "upgrade_frame.h"

CTransferWorker::CTransferWorker(TransferState& state, ITransferHost& host, std::mutex& imageLock)
    : m_state(state), m_host(host), m_imageLock(imageLock) {}

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
    m_endChanged.notify_all();
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

bool CTransferWorker::WaitForLastFrameSent(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_endMutex);
    m_endChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return !m_sendingLastFrame || m_lastFrameSent || m_ended || m_stop;
    });
    return m_lastFrameSent;
}

void CTransferWorker::Finish() {
    {
        const std::lock_guard<std::mutex> lock(m_endMutex);
        m_ended = true;
    }
    m_endChanged.notify_all();
}

void CTransferWorker::Main() {
    Serve();
    Finish();
}

void CTransferWorker::Serve() {
    if (m_state.g_bPortOpen == 0) {
        m_host.TransferEnded(TransferEnd::PortClosed);
        return;
    }
    for (;;) {
        std::int32_t imageBytes = 0;
        {
            const std::lock_guard<std::mutex> lock(m_imageLock);
            const std::int32_t offset = m_state.g_nOffset;
            std::FILE* image = m_state.g_pImage;
            // The stream is placed at the block first, so a seek can never be lost or doubled.
            const bool placed = image != nullptr && std::fseek(image, offset, SEEK_SET) == 0;
            const FrameReadResult read =
                placed ? BuildUpgradeFrame(image, offset, m_state.g_nImageSize, m_state.g_Frame)
                       : FrameReadResult{};
            if (!read.ok) {
                if (!m_stop) {
                    m_host.TransferEnded(TransferEnd::ImageUnreadable);
                }
                return;
            }
            imageBytes = read.imageBytes;
            m_state.g_nOffset = offset + imageBytes;
            m_state.g_nBlockLen = imageBytes;
        }
        const bool markedLast = m_state.g_Frame[frame::kLastBlockAt] == 1;
        {
            const std::lock_guard<std::mutex> lock(m_endMutex);
            m_lastFrameSent = false;
            m_sendingLastFrame = markedLast;
        }
        for (std::size_t at = 0; at < m_state.g_Frame.size(); ++at) {
            const std::uint8_t byte = m_state.g_Frame[at];
            if (m_stop) {
                return;
            }
            if (at + 1 == m_state.g_Frame.size()) {
                // Marked waiting before the last byte goes out, not after: the head may answer
                // the moment it has that byte, and an answer that found the worker "sending"
                // would release nothing and leave the transfer stuck. The go-ahead keeps a
                // release given before the wait.
                m_state.g_bGoAhead = 0;
            }
            // A byte that did not reach the port is not counted: the transfer has failed.
            if (m_host.SendHexText(FormatFrameByteText(byte)) != 1) {
                if (!m_stop) {
                    m_host.TransferEnded(TransferEnd::WriteFailed);
                }
                return;
            }
            m_state.g_nSentCount.fetch_add(1);
            m_host.SentCountChanged();
        }
        {
            const std::lock_guard<std::mutex> lock(m_endMutex);
            m_lastFrameSent = markedLast;
            m_sendingLastFrame = false;
        }
        m_endChanged.notify_all();
        if (!m_goAhead.Wait()) {
            return;
        }
    }
}
