#include "window_port.h"

void CWindowPort::Open(PortHandle handle) {
    Close();
    m_session = std::make_unique<CPortSession>(*m_state.g_pLink, handle);
    m_state.g_hComm = handle;
    m_state.g_bPortOpen = 1;
}

bool CWindowPort::StartReceiving(IWindowSurface& window) {
    return m_session && m_session->StartReceiving(window);
}

void CWindowPort::Close() {
    m_state.g_bPortOpen = 0;
    if (m_session) {
        m_session->Close();
        m_session.reset();
    }
    m_state.g_hComm = kInvalidPortHandle;
}
