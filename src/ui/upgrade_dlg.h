// The main window of the window program: port control, image choice, the upgrade-mode switch,
// the connection check and the head's answers, which drive the transfer worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "controls.h"
#include "device_choice.h"
#include "dialog.h"
#include "port_chunk.h"
#include "receive_worker.h"
#include "transfer_state.h"
#include "transfer_worker.h"
#include "upgrade_line.h"
#include "window_port.h"

class CUpgradeDlg : public CDialog, private ITransferHost {
  public:
    // `clock` times the window thread's pauses (tests pass a fake one); nullptr: real time.
    explicit CUpgradeDlg(IDialogBackend& backend, IUpgradeClock* clock = nullptr);
    ~CUpgradeDlg() override;

    // The shared state, for tests: its atomics may be read from any thread (g_pTransferThread
    // only on the window thread; elsewhere through RecordedWorker).
    const TransferState& State() const { return m_state; }
    std::uint8_t LastResponse() const { return m_byResponse; }
    // The transfer worker recorded in g_pTransferThread, read under the lock its replacements
    // take: any thread may look at it.
    std::shared_ptr<const CTransferWorker> RecordedWorker() const;
    // True while a transfer worker exists that has not ended (window thread).
    bool TransferUnderWay() const;

    // Port control, also used by the switch.
    void OpenPort();
    std::intptr_t ReopenPort(std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
    // Decodes `text` and writes its bytes in one write; the number of bytes written. The
    // transfer worker's road: no time limit (closing the port ends a held write).
    std::size_t SendHexText(const std::string& text) override;

  protected:
    void DoDataExchange();
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnDestroy() override;
    bool DispatchMessageMap(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                            std::intptr_t& result) override;
    void DiscardPosted(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    // Message table handlers.
    std::intptr_t OnSysCommand(std::uintptr_t id, std::intptr_t lParam);
    std::intptr_t OnPaint(std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t OnQueryDragIcon(std::uintptr_t wParam, std::intptr_t lParam);
    void OnSelectImage();
    void OnStart();
    void OnPortButton();
    void OnPortSelChange();
    void OnConnect();
    std::intptr_t SwitchToUpgradeMode(std::uintptr_t choice, std::intptr_t lParam);
    std::intptr_t OnPortData(std::uintptr_t chunk, std::intptr_t length);
    std::intptr_t OnSentCountChanged(std::uintptr_t wParam, std::intptr_t lParam);
    std::intptr_t OnTransferEnded(std::uintptr_t why, std::intptr_t workerId);
    std::intptr_t OnPortLost(std::uintptr_t wParam, std::intptr_t lParam);

    // The head's answers, each acting on the step the transfer rules decided.
    void OnConnected();
    void OnFrameAccepted(PortClock::time_point arrivedAt);
    void OnChecksumError();
    void OnUpgradeComplete();
    void OnCompleteTooEarly();
    void OnUpgradeEndedByHead(const char* message);
    // What an answer that arrived at `arrivedAt` means for the frame on the line.
    FrameStep JudgeAnswer(std::uint8_t answer, PortClock::time_point arrivedAt) const;

    // ITransferHost, on the worker's thread.
    void SentCountChanged() override;
    void TransferEnded(TransferEnd why) override;

    void StartTransferWorker();
    // Replaces g_pTransferThread under m_workerRecordLock.
    void RecordWorker(std::shared_ptr<CTransferWorker> worker);
    // One sending of one frame by one worker: which worker, the frame's index, the attempt.
    using SendingOnLine = std::tuple<const CTransferWorker*, std::int64_t, int>;
    std::optional<SendingOnLine> CurrentSending() const;
    // The recorded worker waits for the head's answer and may be released.
    bool WorkerWaits() const;
    // Releases the waiting worker with what it sends next: the next frame, or the same again.
    void ReleaseForNextFrame();
    void ReleaseForResend();
    // Ends the recorded worker (closing the port first if a write of it may be held).
    void EndTransferWorker();
    // Closes the port and ends a transfer it cuts (telling the operator so).
    void ClosePort();
    // Closes the port (see CWindowPort) and shows the connection check as owed again.
    void ClosePortSession();
    // The buttons of a closed port.
    void ShowPortClosed();
    // The image choice was refused: no image is shown, and none can be started.
    void ShowNoImage();
    // The switch cannot go out on this port (a raw network port): said so, nothing sent.
    bool RefuseSwitchOnThisPort();
    enum class PortGone { WhileIdle, DuringTransfer };
    // The port went away: closed, buttons set, the operator told.
    void ClosePortGone(PortGone when);
    void FailOpen(const std::string& message);
    // SendHexText with a time limit of `timeoutMs` beyond the bytes' wire time (-1: none).
    // `decoded`, when given, receives the number of bytes the text holds.
    std::size_t WriteHexText(const std::string& text, int timeoutMs,
                             std::size_t* decoded = nullptr);
    // A send on the window thread (command, connection check): limited, and a line that holds
    // it back is reported.
    void SendFromWindowThread(const std::string& text);
    void PauseWindowThread(int ms);
    // The taskbar button shows the transfer: its bytes so far, normal or failed; None clears it.
    void ShowTaskbarProgress(TaskbarProgress state);
    void SeekImage(std::int32_t offset);
    void DropImage();

    IUpgradeClock& m_clock;
    TransferState m_state;
    CWindowPort m_port{m_state};
    // Guards the image stream's position between the worker's read and the window's seeks.
    std::mutex m_imageLock;
    // Taken by the window thread whenever it replaces g_pTransferThread, and by other threads
    // that look at it.
    mutable std::mutex m_workerRecordLock;
    std::atomic<bool> m_sentCountQueued{false};
    std::atomic<std::intptr_t> m_workerId{0};
    std::int32_t m_sentAtStart = 0;  // g_nSentCount when the current transfer started

    // Controls, bound in DoDataExchange.
    CButton m_btnConnect;
    CButton m_btnSelect;
    CButton m_btnStart;
    CComboBox m_cboPort;
    CEdit m_edtPath;
    CProgressCtrl m_prgUpgrade;
    IconHandle m_hIcon = 0;

    std::string m_strImagePath;
    std::string m_strPortName;
    std::int32_t m_nBaudRate = 0;
    std::uint8_t m_byByteSize = 8;
    std::uint8_t m_byParity = 0;
    std::uint8_t m_byStopBits = 0;
    std::atomic<std::uint8_t> m_byResponse{0};
};
