// CUpgradeDlg: the connection check, the transfer worker and the head's answers, each judged by
// the upgrade core.
#include "upgrade_dlg.h"

#include <algorithm>
#include <chrono>

#include "head_answer.h"
#include "line_timing.h"
#include "port_chunk.h"
#include "resource.h"
#include "serial_upgrade_line.h"
#include "transfer_rules.h"
#include "ui_texts.h"
#include "upgrade_frame.h"

namespace {
// How long ending a worker waits before it closes the port under a write held by the line.
constexpr int kWorkerEndGraceMs = 300;
}  // namespace

// ---- Connection check, transfer and the head's answers ----

void CUpgradeDlg::OnConnect() {
    SendFromWindowThread(FormatBytePairText(kConnectionCheckByte, kConnectionCheckByte));
}

void CUpgradeDlg::OnStart() {
    // A frame going out is never cut in half by a new start (the button can come back during a
    // transfer when the head answers the connection check again).
    const bool frameGoingOut = TransferUnderWay() && m_state.g_bGoAhead != 0;
    if (m_state.g_pImage != nullptr && !frameGoingOut) {
        StartTransferWorker();
    }
    m_btnStart.EnableWindow(false);
}

void CUpgradeDlg::StartTransferWorker() {
    // A worker left waiting by an earlier start is ended, never left waiting for good (and the
    // new worker begins with the block it never had accepted).
    EndTransferWorker();
    ITransferHost& host = *this;
    auto worker = std::make_shared<CTransferWorker>(m_state, host, m_imageLock,
                                                    static_cast<int>(m_state.g_pLink->BaudRate()));
    RecordWorker(worker);
    m_workerId.fetch_add(1);
    m_state.g_bGoAhead = 1;
    m_sentAtStart = m_state.g_nSentCount;
    if (!worker->Run()) {
        RecordWorker(nullptr);
        Window().MessageBox(text::kThreadCreateFailed, "", win::kMbOk);
        return;
    }
    ShowTaskbarProgress(TaskbarProgress::Normal);
}

void CUpgradeDlg::RecordWorker(std::shared_ptr<CTransferWorker> worker) {
    const std::lock_guard<std::mutex> lock(m_workerRecordLock);
    m_state.g_pTransferThread = std::move(worker);
}

std::shared_ptr<const CTransferWorker> CUpgradeDlg::RecordedWorker() const {
    const std::lock_guard<std::mutex> lock(m_workerRecordLock);
    return m_state.g_pTransferThread;
}

bool CUpgradeDlg::TransferUnderWay() const {
    return m_state.g_pTransferThread != nullptr && !m_state.g_pTransferThread->Ended();
}

std::optional<CUpgradeDlg::SendingOnLine> CUpgradeDlg::CurrentSending() const {
    const CTransferWorker* worker = m_state.g_pTransferThread.get();
    if (worker == nullptr) {
        return std::nullopt;
    }
    const std::optional<FrameCursor> frame = worker->UnacceptedFrame();
    if (!frame) {
        return std::nullopt;
    }
    return SendingOnLine{worker, frame->index, frame->attempt};
}

bool CUpgradeDlg::WorkerWaits() const {
    return m_state.g_bGoAhead == 0 && TransferUnderWay() && m_state.g_pImage != nullptr;
}

// Marked as sending before the release, so the worker's next "waiting" cannot be overwritten.
void CUpgradeDlg::ReleaseForNextFrame() {
    m_state.g_bGoAhead = 1;
    m_state.g_pTransferThread->SendNextFrame();
}

void CUpgradeDlg::ReleaseForResend() {
    m_state.g_bGoAhead = 1;
    m_state.g_pTransferThread->ResendFrame();
}

void CUpgradeDlg::EndTransferWorker() {
    const std::shared_ptr<CTransferWorker> worker = m_state.g_pTransferThread;
    RecordWorker(nullptr);
    if (!worker) {
        return;
    }
    worker->Stop();
    if (!worker->WaitUntilEnded(kWorkerEndGraceMs) && m_port.IsOpen()) {
        // A write held by the line (XOFF) ends only when its port closes.
        ClosePortSession();
        if (HasWindow()) {
            ShowPortClosed();
        }
    }
    worker->Join();
    // The frame it had on the line was never accepted (or its acceptance had not yet moved it
    // on): a new start sends that block again instead of skipping it, whatever ended the worker
    // (the head giving up, the port closed, a new start).
    if (const std::optional<FrameCursor> frame = worker->UnacceptedFrame()) {
        m_state.g_nOffset = frame->offset;
    }
}

void CUpgradeDlg::SeekImage(std::int32_t offset) {
    const std::lock_guard<std::mutex> lock(m_imageLock);
    if (std::FILE* image = m_state.g_pImage) {
        (void)std::fseek(image, offset, SEEK_SET);
    }
}

void CUpgradeDlg::DropImage() {
    if (std::FILE* image = m_state.g_pImage.exchange(nullptr)) {
        std::fclose(image);
    }
}

std::intptr_t CUpgradeDlg::OnPortData(std::uintptr_t chunkAddress, std::intptr_t /*length*/) {
    const std::unique_ptr<PortChunk> chunk = TakePortChunk(chunkAddress);
    if (!chunk || chunk->bytes.empty()) {
        return 0;
    }
    // Only the first byte of a chunk is the head's answer.
    m_byResponse = chunk->bytes.front();
    if (ClassifyAnswer(m_byResponse) == AnswerAction::Connected) {
        OnConnected();  // the connection check's answer, about no frame
        return 0;
    }
    switch (JudgeAnswer(m_byResponse, chunk->arrivedAt)) {
        case FrameStep::KeepWaiting:
            break;  // not about the frame on the line: stale, repeated, or no answer at all
        case FrameStep::NextFrame:
        case FrameStep::SendFill:
        case FrameStep::EndNotConfirmed:  // the window sends the fill frame again, without limit
            OnFrameAccepted(chunk->arrivedAt);
            break;
        case FrameStep::Resend:
        case FrameStep::TooManyChecksumErrors:  // never: the window has no resend limit
            OnChecksumError();
            break;
        case FrameStep::Complete:
            OnUpgradeComplete();
            break;
        case FrameStep::CompleteTooEarly:
            OnCompleteTooEarly();
            break;
        case FrameStep::HeadFailed:
            OnUpgradeEndedByHead(text::kUpgradeFailed);
            break;
        case FrameStep::HeadTimedOut:
            OnUpgradeEndedByHead(text::kUpgradeTimedOut);
            break;
    }
    return 0;
}

FrameStep CUpgradeDlg::JudgeAnswer(std::uint8_t answer, PortClock::time_point arrivedAt) const {
    // With no transfer under way no frame is on the line, and the answer is taken as one to a
    // block that went out whole: 0x82 and 0x81/0x83 are shown but release nothing (no worker
    // waits), and 0x84 completes nothing.
    FrameOnLine frame;
    if (TransferUnderWay()) {
        // Judged by when the answer arrived, not by when it is handled: by now the frame it
        // found on the line may have gone out whole. Before the first frame nothing is out.
        FrameOnLine nothingOut;
        nothingOut.wholeFrameOut = false;
        frame = m_state.g_pTransferThread->FrameOnLineAt(arrivedAt).value_or(nothingOut);
    }
    return DecideFrameStep(answer, frame, kUnlimitedResends);
}

void CUpgradeDlg::OnConnected() {
    // A late or repeated answer to the connection check changes nothing while a transfer runs:
    // a second start would begin again in the middle of the transfer.
    if (TransferUnderWay()) {
        return;
    }
    // Only an image that will be sent can be started.
    m_btnStart.EnableWindow(m_state.g_pImage != nullptr);
    m_btnConnect.SetWindowText(text::kConnectedLabel);
    m_btnConnect.EnableWindow(false);
}

void CUpgradeDlg::OnFrameAccepted(PortClock::time_point arrivedAt) {
    m_prgUpgrade.SetPos(m_state.g_nOffset);
    SeekImage(m_state.g_nOffset);
    if (WorkerWaits()) {
        // The head gets its 20 ms from its answer on: the time the answer took to reach this
        // handler (longer on a busy machine) counts towards them, so the line keeps its pace.
        const auto since =
            std::chrono::duration_cast<std::chrono::milliseconds>(PortClock::now() - arrivedAt)
                .count();
        PauseWindowThread(static_cast<int>(
            std::clamp<long long>(line::kAckPauseMs - since, 0, line::kAckPauseMs)));
        ReleaseForNextFrame();
    }
}

void CUpgradeDlg::OnChecksumError() {
    if (TransferUnderWay()) {
        m_state.g_pTransferThread->MarkFrameDamaged();
    }
    const std::optional<SendingOnLine> damaged = CurrentSending();
    Window().MessageBox(text::kChecksumError, "", win::kMbOk);
    // Other answers may have been handled while the message was open: look again now. The
    // resend is for the damaged sending alone; if the head accepted that frame meanwhile and the
    // worker moved on, resending now would send another frame and misplace every later answer.
    if (WorkerWaits() && damaged && CurrentSending() == damaged) {
        ReleaseForResend();
    }
}

void CUpgradeDlg::OnUpgradeComplete() {
    m_prgUpgrade.SetPos(m_state.g_nOffset);
    // Ended first, so that no later answer can release it into another frame.
    EndTransferWorker();
    ShowTaskbarProgress(TaskbarProgress::None);
    Window().MessageBox(text::kUpgradeDone, "", win::kMbOk);
    m_btnStart.EnableWindow(false);
    m_btnConnect.EnableWindow(false);
    m_state.g_nOffset = 0;
    DropImage();
}

void CUpgradeDlg::OnCompleteTooEarly() {
    if (!TransferUnderWay()) {
        // No transfer (or one that has just ended on its own, its report still on its way):
        // nothing can have completed.
        return;
    }
    // A head that says "complete" before it has the last block has not got the image.
    EndTransferWorker();
    ShowTaskbarProgress(TaskbarProgress::Error);
    Window().MessageBox(text::kUpgradeIncomplete, "", win::kMbOk);
}

void CUpgradeDlg::OnUpgradeEndedByHead(const char* message) {
    // The head has abandoned the transfer: the worker ends instead of waiting for ever.
    const bool transferCut = TransferUnderWay();
    EndTransferWorker();
    if (transferCut) {
        ShowTaskbarProgress(TaskbarProgress::Error);
    }
    Window().MessageBox(message, "", win::kMbOk);
}

void CUpgradeDlg::SentCountChanged() {
    // At most one update waits in the queue: the window shows the latest count, and the worker
    // never waits for the window.
    if (!m_sentCountQueued.exchange(true)) {
        if (!Window().Post(WM_SENT_COUNT_CHANGED, 0, 0)) {
            m_sentCountQueued = false;
        }
    }
}

std::intptr_t CUpgradeDlg::OnSentCountChanged(std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
    m_sentCountQueued = false;
    Window().SetItemText(IDC_STATIC_SENT, std::to_string(m_state.g_nSentCount.load()));
    if (TransferUnderWay()) {
        ShowTaskbarProgress(TaskbarProgress::Normal);
    }
    return 0;
}

void CUpgradeDlg::TransferEnded(TransferEnd why) {
    (void)Window().Post(WM_TRANSFER_ENDED, static_cast<std::uintptr_t>(why), m_workerId.load());
}

std::intptr_t CUpgradeDlg::OnTransferEnded(std::uintptr_t why, std::intptr_t workerId) {
    if (workerId != m_workerId.load() || !m_state.g_pTransferThread) {
        return 0;  // from a worker already ended and replaced
    }
    EndTransferWorker();
    ShowTaskbarProgress(TaskbarProgress::Error);
    switch (static_cast<TransferEnd>(why)) {
        case TransferEnd::WriteFailed:
            ClosePortGone(PortGone::DuringTransfer);
            break;
        case TransferEnd::ImageUnreadable:
            Window().MessageBox(text::kTransferReadFailed, "", win::kMbOk);
            break;
        case TransferEnd::PortClosed:
            break;
    }
    return 0;
}

std::intptr_t CUpgradeDlg::OnPortLost(std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
    // Only the current opening's own failure counts: a message from an opening closed since
    // finds the current one's receive worker still running.
    const CReceiveWorker* receiver = m_port.Receiver();
    if (receiver == nullptr || receiver->Result() != -1) {
        return 0;
    }
    // The head may have had the whole frame before the port went: the worker would wait for
    // an answer for ever. A worker that has just ended on its own failed write counts too: its
    // own report finds it already ended here.
    const bool transferCut = m_state.g_pTransferThread != nullptr;
    EndTransferWorker();
    ClosePortGone(transferCut ? PortGone::DuringTransfer : PortGone::WhileIdle);
    return 0;
}

void CUpgradeDlg::ClosePortGone(PortGone when) {
    // Taken before the close, which may record errors of its own.
    const bool lineError = m_state.g_pLink->LastError().kind == PortErrorKind::LineError;
    // Closed, so the operator can open it again once it is back.
    ClosePortSession();
    ShowPortClosed();
    m_btnStart.EnableWindow(false);
    m_btnConnect.EnableWindow(false);
    if (when == PortGone::DuringTransfer) {
        ShowTaskbarProgress(TaskbarProgress::Error);
    }
    if (lineError && when == PortGone::DuringTransfer) {
        Window().MessageBox(text::kTransferLineError, "", win::kMbOk);
    } else {
        Window().MessageBox(
            when == PortGone::DuringTransfer ? text::kTransferWriteFailed : text::kPortLost, "",
            win::kMbOk);
    }
}

void CUpgradeDlg::ShowTaskbarProgress(TaskbarProgress state) {
    // The transfer's own bytes: the sent counter runs on across transfers.
    const std::int64_t total = AnnouncedTransferBytes(m_state.g_nImageSize);
    const std::int64_t done =
        std::min<std::int64_t>(std::int64_t{m_state.g_nSentCount} - m_sentAtStart, total);
    if (state == TaskbarProgress::None) {
        Window().SetTaskbarProgress(state, 0, 0);
    } else {
        Window().SetTaskbarProgress(state, std::max<std::int64_t>(done, 0), total);
    }
}
