// The window program's port: its open state in one place. The opening itself (its handle and
// receive worker, used on the window thread) and what the workers read of it, g_bPortOpen and
// g_hComm, are kept in step here alone: published once the opening is whole, withdrawn before
// it closes.
#pragma once

#include <memory>

#include "port_handle.h"
#include "receive_worker.h"
#include "transfer_state.h"
#include "window_surface.h"

class CWindowPort {
  public:
    // The state whose g_pLink opens the port and whose g_bPortOpen and g_hComm publish it.
    explicit CWindowPort(TransferState& state) : m_state(state) {}
    ~CWindowPort() { Close(); }
    CWindowPort(const CWindowPort&) = delete;
    CWindowPort& operator=(const CWindowPort&) = delete;

    // Takes charge of an opened (and configured) handle, closing any earlier opening first, and
    // publishes it.
    void Open(PortHandle handle);
    // Starts the opening's receive worker; false if the thread could not be created (the port
    // stays open without one).
    bool StartReceiving(IWindowSurface& window);
    // Marks the port closed first (the workers look), then stops its receive worker and closes
    // its handle, which also ends a write held by the line. Idempotent.
    void Close();

    bool IsOpen() const { return m_session != nullptr; }
    // The current opening's receive worker; nullptr when closed or none was started.
    const CReceiveWorker* Receiver() const { return m_session ? m_session->Worker() : nullptr; }

  private:
    TransferState& m_state;
    std::unique_ptr<CPortSession> m_session;
};
