// The receive worker: a thread per opening of the port that waits for received characters,
// reads what is waiting and posts each chunk to the window as WM_PORT_DATA. It holds that
// opening's handle only, so it never reads from or posts for a later opening. When the port
// fails under it (not stopped), it posts WM_PORT_LOST once as it ends.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "port_handle.h"
#include "serial_link.h"
#include "window_surface.h"

class CReceiveWorker {
  public:
    // Starts serving `handle`; nullptr when the thread cannot be created (the caller tells the
    // operator; the port stays open).
    static std::unique_ptr<CReceiveWorker> Start(CSerialLink& link, PortHandle handle,
                                                 IWindowSurface& window);
    ~CReceiveWorker();
    CReceiveWorker(const CReceiveWorker&) = delete;
    CReceiveWorker& operator=(const CReceiveWorker&) = delete;

    // Ends the worker and waits for it: sets its stop flag, wakes its wait, joins. Idempotent.
    // Call it from the thread that started the worker, before the handle is closed.
    void Stop();
    // Empty while the worker runs; then 0 if it ended because its opening was closed (Stop),
    // -1 if it ended on an error (port failed or vanished, read failed, window refused a post).
    std::optional<int> Result() const;
    PortHandle Handle() const { return m_handle; }

  private:
    CReceiveWorker(CSerialLink& link, PortHandle handle, IWindowSurface& window);
    void Run();
    int Serve();

    static constexpr int kRunning = 1;

    CSerialLink& m_link;
    const PortHandle m_handle;
    IWindowSurface& m_window;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_result{kRunning};
    std::array<std::uint8_t, CSerialLink::kMaxChunk> m_buffer{};
    std::thread m_thread;
};

// One opening of the port: its handle and its receive worker, closed in the only safe order
// (stop and join the worker, then close the handle). Used on the window thread.
class CPortSession {
  public:
    // Takes charge of an opened (and configured) handle; closes it when closed or destroyed.
    CPortSession(CSerialLink& link, PortHandle handle);
    ~CPortSession();
    CPortSession(const CPortSession&) = delete;
    CPortSession& operator=(const CPortSession&) = delete;

    // Starts this opening's receive worker; false if the thread could not be created, and the
    // port stays open without one.
    bool StartReceiving(IWindowSurface& window);
    // Stops and joins the worker, then closes the handle. Idempotent.
    void Close();

    PortHandle Handle() const { return m_handle; }
    bool IsOpen() const { return m_handle != kInvalidPortHandle; }
    // The running worker, or nullptr when none was started (or the session is closed).
    const CReceiveWorker* Worker() const { return m_worker.get(); }

  private:
    CSerialLink& m_link;
    PortHandle m_handle;
    std::unique_ptr<CReceiveWorker> m_worker;
};
