// The working state shared by the window thread, the receive worker and the transfer worker.
// One object owned by the main window, so two windows can live in one test process. Members
// another thread reads are atomics; the hand-over between window and transfer worker is the
// go-ahead (see the upgrade layer), never a lock around these fields.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "frame_buffer.h"
#include "port_handle.h"
#include "serial_link.h"

class CTransferWorker;

// Size the image counter holds before an image is chosen.
constexpr std::int32_t kInitialImageSize = 1000;

struct TransferState {
    // What the workers read of the window's port opening; written by CWindowPort alone.
    std::atomic<std::uint8_t> g_bPortOpen{0};
    std::atomic<PortHandle> g_hComm{kInvalidPortHandle};
    // Created once at initialisation and kept for the life of the window.
    std::unique_ptr<CSerialLink> g_pLink;
    std::atomic<std::FILE*> g_pImage{nullptr};
    std::atomic<std::int32_t> g_nImageSize{kInitialImageSize};
    std::atomic<std::int32_t> g_nOffset{0};
    std::atomic<std::int32_t> g_nBlockLen{0};
    // Bytes sent by transfer workers since the window opened; never reset.
    std::atomic<std::int32_t> g_nSentCount{0};
    // 1 while the transfer worker sends a frame, 0 while it waits for the head's answer.
    std::atomic<std::int32_t> g_bGoAhead{0};
    // The current transfer worker: replaced only by the window thread, under a lock the window
    // keeps so that other threads may look at it through the window.
    std::shared_ptr<CTransferWorker> g_pTransferThread;
    FrameBuffer g_Frame{};
};
