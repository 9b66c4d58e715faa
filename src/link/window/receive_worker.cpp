#include "receive_worker.h"

#include <system_error>

#include "control_ids.h"
#include "port_chunk.h"
#include "thread_priority.h"

namespace {
constexpr int kPortCheckIntervalMs = 1000;
}  // namespace

std::unique_ptr<CReceiveWorker> CReceiveWorker::Start(CSerialLink& link, PortHandle handle,
                                                      IWindowSurface& window) {
    // The Stop of an earlier worker on this handle may have cancelled a wait it never began.
    link.ForgetCancel(handle);
    std::unique_ptr<CReceiveWorker> worker(new CReceiveWorker(link, handle, window));
    try {
        worker->m_thread = std::thread(&CReceiveWorker::Run, worker.get());
    } catch (const std::system_error&) {
        return nullptr;
    }
    return worker;
}

CReceiveWorker::CReceiveWorker(CSerialLink& link, PortHandle handle, IWindowSurface& window)
    : m_link(link), m_handle(handle), m_window(window) {}

CReceiveWorker::~CReceiveWorker() {
    Stop();
}

void CReceiveWorker::Stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_link.CancelWait(m_handle);
        m_thread.join();
    }
}

std::optional<int> CReceiveWorker::Result() const {
    const int result = m_result;
    if (result == kRunning) {
        return std::nullopt;
    }
    return result;
}

void CReceiveWorker::Run() {
    RaiseLineThreadPriority();
    const int result = Serve();
    m_result = result;
    // Nothing else would tell the window: a transfer waiting for an answer from a port that
    // has gone away would wait for ever.
    if (result < 0 && !m_stop) {
        (void)m_window.Post(WM_PORT_LOST, 0, 0);
    }
}

int CReceiveWorker::Serve() {
    for (;;) {
        if (m_stop) {
            return 0;
        }
        const long waiting = m_link.QueuedInput(m_handle);
        if (waiting < 0) {
            return m_stop ? 0 : -1;
        }
        if (waiting > 0) {
            // Taken before the read: every byte it returns had arrived by now.
            const PortClock::time_point seenAt = PortClock::now();
            const std::size_t n = m_link.Read(m_buffer.data(), m_buffer.size(), m_handle);
            if (n == 0) {
                // Data was waiting but none could be read: the line or the port failed.
                return m_stop ? 0 : -1;
            }
            // Each chunk travels as its own copy, so the buffer is free again at once.
            if (!PostPortChunk(m_window, m_buffer.data(), n, seenAt)) {
                return -1;
            }
        }
        // A wait for characters does not end everywhere when the port goes away (Wine): the
        // port's state is looked at again at least once a second.
        switch (m_link.WaitForInput(m_handle, kPortCheckIntervalMs)) {
            case PortWaitResult::DataArrived:
            case PortWaitResult::TimedOut:
                break;
            case PortWaitResult::Cancelled:
                return 0;
            case PortWaitResult::Failed:
                // Stopping may make the wait fail (Win32: the event mask was cleared).
                return m_stop ? 0 : -1;
        }
    }
}

CPortSession::CPortSession(CSerialLink& link, PortHandle handle) : m_link(link), m_handle(handle) {}

CPortSession::~CPortSession() {
    Close();
}

bool CPortSession::StartReceiving(IWindowSurface& window) {
    if (!IsOpen()) {
        return false;
    }
    if (m_worker) {
        m_worker->Stop();
    }
    m_worker = CReceiveWorker::Start(m_link, m_handle, window);
    return m_worker != nullptr;
}

void CPortSession::Close() {
    if (m_worker) {
        m_worker->Stop();
        m_worker.reset();
    }
    if (IsOpen()) {
        m_link.Close(m_handle);
        m_handle = kInvalidPortHandle;
    }
}
