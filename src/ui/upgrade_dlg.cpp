#include "upgrade_dlg.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>

#include "about_box.h"
#include "device_dlg.h"
#include "head_answer.h"
#include "hex_text.h"
#include "image_stream.h"
#include "line_timing.h"
#include "network_port_name.h"
#include "pelco_command.h"
#include "port_choices.h"
#include "port_chunk.h"
#include "port_names.h"
#include "port_opening.h"
#include "resource.h"
#include "serial_upgrade_line.h"
#include "transfer_rules.h"
#include "ui_texts.h"
#include "upgrade_frame.h"

namespace {
constexpr int kPortCount = 10;
// How long ending a worker waits before it closes the port under a write held by the line.
constexpr int kWorkerEndGraceMs = 300;
// A write on the window thread may take its wire time and this much more before the window
// gives up on a line that holds it back: the window must stay usable.
constexpr int kWindowWriteMarginMs = 1000;

CSteadyClock& SystemClock() {
    static CSteadyClock clock;
    return clock;
}

std::string PortOpeningText(PortOpeningStep step) {
    switch (step) {
        case PortOpeningStep::Open:
        case PortOpeningStep::Configure:
            return text::kPortOpenError;
        case PortOpeningStep::SetTimeouts:
            return text::kPortTimeoutError;
        case PortOpeningStep::CreateEvents:
            return text::kOverlappedFailed;
        case PortOpeningStep::None:
            break;
    }
    return {};
}

std::string TrimWhiteSpace(const std::string& text) {
    const auto isSpace = [](char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; };
    const auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    const auto end = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    return begin < end ? std::string(begin, end) : std::string();
}

const char* ImageErrorText(ImageOpenError error) {
    switch (error) {
        case ImageOpenError::Empty:
            return text::kImageEmpty;
        case ImageOpenError::TooLarge:
            return text::kImageTooLarge;
        case ImageOpenError::Directory:
        case ImageOpenError::NotRegular:
            return text::kImageNotAFile;
        case ImageOpenError::Unreadable:
        case ImageOpenError::None:
            break;
    }
    return text::kImageUnreadable;
}
}  // namespace

CUpgradeDlg::CUpgradeDlg(IDialogBackend& backend, IUpgradeClock* clock)
    : CDialog(IDD_UPGRADE),
      m_clock(clock != nullptr ? *clock : SystemClock()),
      m_hIcon(backend.LoadAppIcon(IDI_MAIN)) {}

void CUpgradeDlg::PauseWindowThread(int ms) {
    m_clock.SleepMs(ms);
}

CUpgradeDlg::~CUpgradeDlg() {
    EndTransferWorker();
    ClosePort();
    DropImage();
}

bool CUpgradeDlg::DispatchMessageMap(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                     std::intptr_t& result) {
    using D = CUpgradeDlg;
    static const MessageMapEntry<D> kMessageMap[] = {
        OnMessage<D>(win::kWmSysCommand, &D::OnSysCommand),
        OnMessage<D>(win::kWmPaint, &D::OnPaint),
        OnMessage<D>(win::kWmQueryDragIcon, &D::OnQueryDragIcon),
        OnCommand<D>(win::kBnClicked, IDC_BTN_SELECT, &D::OnSelectImage),
        OnCommand<D>(win::kBnClicked, IDC_BTN_START, &D::OnStart),
        OnCommand<D>(win::kBnClicked, IDC_BTN_PORT, &D::OnPortButton),
        OnCommand<D>(win::kCbnSelChange, IDC_COMBO_PORT, &D::OnPortSelChange),
        OnCommand<D>(win::kBnClicked, IDC_BTN_CONNECT, &D::OnConnect),
        OnMessage<D>(WM_DEVICE_SELECTED, &D::SwitchToUpgradeMode),
        OnMessage<D>(WM_PORT_DATA, &D::OnPortData),
        OnMessage<D>(WM_PORT_REOPEN, &D::ReopenPort),
        OnMessage<D>(WM_SENT_COUNT_CHANGED, &D::OnSentCountChanged),
        OnMessage<D>(WM_TRANSFER_ENDED, &D::OnTransferEnded),
        OnMessage<D>(WM_PORT_LOST, &D::OnPortLost),
    };
    return Dispatch(*this, kMessageMap, message, wParam, lParam, result);
}

void CUpgradeDlg::DiscardPosted(unsigned message, std::uintptr_t wParam, std::intptr_t /*lParam*/) {
    if (message == WM_PORT_DATA) {
        (void)TakePortChunk(wParam);
    }
}

void CUpgradeDlg::DoDataExchange() {
    m_btnConnect.Attach(Window(), IDC_BTN_CONNECT);
    m_btnSelect.Attach(Window(), IDC_BTN_SELECT);
    m_btnStart.Attach(Window(), IDC_BTN_START);
    m_cboPort.Attach(Window(), IDC_COMBO_PORT);
    m_edtPath.Attach(Window(), IDC_EDIT_PATH);
    m_prgUpgrade.Attach(Window(), IDC_PROGRESS);
}

bool CUpgradeDlg::OnInitDialog() {
    DoDataExchange();
    const std::string aboutText = Backend().LoadResourceString(IDS_ABOUT_MENU);
    if (!aboutText.empty()) {
        (void)Window().AppendSystemMenuEntry(IDM_ABOUT, aboutText);
    }
    Window().SetWindowIcon(m_hIcon);

    m_prgUpgrade.ShowWindow(false);
    m_strImagePath = " ";
    m_state.g_nImageSize = kInitialImageSize;
    m_state.g_nOffset = 0;
    for (int i = 1; i <= kPortCount; ++i) {
        m_cboPort.InsertString(i - 1, "COM" + std::to_string(i));
    }
    // Then the machine's ports beyond them, where USB adapters usually are.
    int nextIndex = kPortCount;
    for (const std::string& name : ExtraPortChoices()) {
        m_cboPort.InsertString(nextIndex++, name);
    }
    m_cboPort.SetCurSel(0);

    m_state.g_pLink = std::make_unique<CSerialLink>();
    m_state.g_pImage = nullptr;
    m_nBaudRate = kTransferBaudRate;

    m_btnSelect.EnableWindow(false);
    m_btnStart.EnableWindow(false);
    m_btnConnect.EnableWindow(false);
    OpenPort();
    RecordWorker(nullptr);
    return true;
}

// ---- Closing the window ----

void CUpgradeDlg::OnOK() {
    OnCancel();
}

void CUpgradeDlg::OnCancel() {
    // Enter, Esc or the close box must not cut an upgrade in half unasked.
    if (TransferUnderWay() &&
        Window().MessageBox(text::kConfirmExitDuringTransfer, "",
                            win::kMbYesNo | win::kMbIconQuestion) != win::kIdYes) {
        return;
    }
    EndDialog(win::kIdCancel);
}

void CUpgradeDlg::OnDestroy() {
    EndTransferWorker();
    ClosePort();
    DropImage();
}

// ---- Window chrome ----

std::intptr_t CUpgradeDlg::OnSysCommand(std::uintptr_t id, std::intptr_t /*lParam*/) {
    if ((id & 0xFFF0U) == IDM_ABOUT) {
        CAboutBox about;
        about.DoModal(Backend(), this);
    } else {
        Default();
    }
    return 0;
}

std::intptr_t CUpgradeDlg::OnPaint(std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
    if (Window().IsMinimized()) {
        Window().PaintIconCentred(m_hIcon);
    } else {
        Default();
    }
    return 0;
}

std::intptr_t CUpgradeDlg::OnQueryDragIcon(std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
    return m_hIcon;
}

// ---- Port control ----

void CUpgradeDlg::FailOpen(const std::string& message) {
    Window().MessageBox(message, text::kOpenComCaption, win::kMbIconExclamation | win::kMbOk);
    m_port.Close();
    ShowPortClosed();
}

void CUpgradeDlg::ShowPortClosed() {
    Window().SetItemText(IDC_BTN_PORT, text::kOpenPortLabel);
    m_btnSelect.EnableWindow(false);
}

void CUpgradeDlg::OpenPort() {
    const int selection = m_cboPort.GetCurSel();
    // With no selection the operator typed a name: ports beyond the list are usable too.
    m_strPortName =
        selection >= 0 ? m_cboPort.GetLBText(selection) : TrimWhiteSpace(m_cboPort.GetWindowText());
    // The line is always 8 data bits, no parity, one stop bit: what the opening sets.
    m_byByteSize = 8;
    m_byParity = 0;
    m_byStopBits = 0;
    const PortOpeningResult opening =
        OpenPortForUpgrade(*m_state.g_pLink, DevicePathForPortName(m_strPortName),
                           static_cast<std::uint32_t>(m_nBaudRate));
    switch (opening.failedStep) {
        case PortOpeningStep::None:
            break;
        case PortOpeningStep::CreateEvents:
            // The port keeps the state it had; the new handle is already closed again.
            Window().MessageBox(PortOpeningText(opening.failedStep), "", win::kMbOk);
            return;
        case PortOpeningStep::Open:
        case PortOpeningStep::SetTimeouts:
        case PortOpeningStep::Configure:
            FailOpen(PortOpeningText(opening.failedStep));
            return;
    }
    m_port.Open(opening.handle);
    Window().SetItemText(IDC_BTN_PORT, text::kClosePortLabel);
    m_btnSelect.EnableWindow(true);
    if (!m_port.StartReceiving(Window())) {
        Window().MessageBox(text::kThreadCreateFailed, "", win::kMbOk);
    }
}

void CUpgradeDlg::ClosePortSession() {
    // The one way the port is closed: marked closed first (the workers look), then its receive
    // worker stopped and its handle closed, which also ends a write held by the line.
    m_port.Close();
    // "Connected" held for that opening only: the next one needs its own connection check.
    if (HasWindow()) {
        m_btnConnect.SetWindowText(text::kConnectLabel);
    }
}

void CUpgradeDlg::ClosePort() {
    const bool transferCut = TransferUnderWay();
    if (transferCut) {
        m_state.g_pTransferThread->Stop();
    }
    ClosePortSession();
    EndTransferWorker();
    if (transferCut && HasWindow()) {
        ShowTaskbarProgress(TaskbarProgress::Error);
        Window().MessageBox(text::kTransferPortClosed, "", win::kMbOk);
    }
}

void CUpgradeDlg::OnPortButton() {
    if (m_port.IsOpen()) {
        ClosePort();
        ShowPortClosed();
    } else {
        OpenPort();
    }
}

void CUpgradeDlg::OnPortSelChange() {
    if (m_port.IsOpen()) {
        ClosePort();
    }
    OpenPort();
}

std::intptr_t CUpgradeDlg::ReopenPort(std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/) {
    if (!m_port.IsOpen()) {
        return 0;
    }
    ClosePort();
    PauseWindowThread(line::kPortClosedMs);
    OpenPort();
    if (m_port.IsOpen()) {
        m_btnConnect.EnableWindow(true);
    } else {
        m_btnStart.EnableWindow(false);
        m_btnConnect.EnableWindow(false);
    }
    return 0;
}

std::size_t CUpgradeDlg::WriteHexText(const std::string& text, int timeoutMs,
                                      std::size_t* decoded) {
    const std::string trimmed = TrimWhiteSpace(text);
    // The text buffer holds 4095 characters and its end mark; a longer text is refused whole.
    if (trimmed.size() >= kHexTextCapacity) {
        return 0;
    }
    std::array<std::uint8_t, kHexTextCapacity> bytes{};
    const std::size_t count = CSerialLink::DecodeHexText(trimmed, bytes.data(), bytes.size());
    if (decoded != nullptr) {
        *decoded = count;
    }
    if (count == 0) {
        return 0;
    }
    if (timeoutMs >= 0) {
        const int baud = static_cast<int>(std::max<std::uint32_t>(m_state.g_pLink->BaudRate(), 1));
        timeoutMs += static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(line::WireTime(count, baud))
                .count());
    }
    return m_state.g_pLink->Write(bytes.data(), count, m_state.g_hComm, timeoutMs);
}

std::size_t CUpgradeDlg::SendHexText(const std::string& text) {
    // The transfer worker's road: a write held by the line ends when the port is closed.
    return WriteHexText(text, -1);
}

void CUpgradeDlg::SendFromWindowThread(const std::string& text) {
    // Never without a limit here: a line held by XOFF would freeze the window.
    std::size_t expected = 0;
    const std::size_t written = WriteHexText(text, kWindowWriteMarginMs, &expected);
    if (written < expected && m_state.g_pLink->LastError().kind == PortErrorKind::Held) {
        Window().MessageBox(text::kLineHeld, "", win::kMbOk);
    }
}

// ---- Image choice and the upgrade-mode switch ----

void CUpgradeDlg::OnSelectImage() {
    // The worker reads the image stream: it must not be replaced under it.
    if (TransferUnderWay()) {
        Window().MessageBox(text::kTransferBusy, "", win::kMbOk);
        return;
    }
    // An ended worker goes before the offset is reset: ending it puts the offset back.
    EndTransferWorker();
    m_prgUpgrade.SetPos(0);
    m_state.g_nOffset = 0;
    const auto path = Window().ChooseFileToOpen(text::kImageFilter);
    if (!path) {
        return;
    }
    m_prgUpgrade.ShowWindow(true);

    DropImage();
    ImageStream image = OpenImageStream(*path);
    if (!image.stream) {
        // The window shows only an image it will send: a refused one is neither shown nor kept.
        ShowNoImage();
        Window().MessageBox(ImageErrorText(image.error), "", win::kMbOk);
        return;
    }
    m_strImagePath = *path;
    m_edtPath.SetWindowText(m_strImagePath);
    m_state.g_nImageSize = static_cast<std::int32_t>(image.size);
    m_state.g_pImage = image.stream.release();
    Window().SetItemText(IDC_STATIC_TOTAL,
                         std::to_string(AnnouncedTransferBytes(m_state.g_nImageSize)));
    m_prgUpgrade.SetRange32(0, m_state.g_nImageSize);

    CDeviceDlg device;
    (void)device.DoModal(Backend(), this);
}

void CUpgradeDlg::ShowNoImage() {
    m_strImagePath = " ";
    m_edtPath.SetWindowText("");
    Window().SetItemText(IDC_STATIC_TOTAL, "");
    m_btnStart.EnableWindow(false);
}

bool CUpgradeDlg::RefuseSwitchOnThisPort() {
    std::string error;
    const std::optional<NetworkPortAddress> address =
        IsNetworkPortName(m_strPortName) ? ParseNetworkPortName(m_strPortName, error)
                                         : std::nullopt;
    if (!address || address->kind != NetworkPortKind::RawSocket) {
        return false;
    }
    // A raw TCP port cannot change the server's line speed: the command would go out at
    // 115200 bit/s, where no head listens for it. The head may already be in upgrade mode, so
    // the connection check stays offered.
    Window().MessageBox(text::kSwitchOnRawNetworkPort, "", win::kMbOk);
    if (m_port.IsOpen()) {
        m_btnConnect.EnableWindow(true);
    }
    return true;
}

std::intptr_t CUpgradeDlg::SwitchToUpgradeMode(std::uintptr_t choiceAddress,
                                               std::intptr_t /*lParam*/) {
    // The device dialog passes its record by address for the length of this call.
    const DeviceChoice choice =
        *reinterpret_cast<const DeviceChoice*>(choiceAddress);  // NOLINT(performance-no-int-to-ptr)
    if (RefuseSwitchOnThisPort()) {
        return 0;
    }
    const std::string command =
        FormatCommandText(BuildUpgradeModeCommand(choice.address, choice.protocolIndex));
    m_nBaudRate = ApplySpeedIndex(choice.speedIndex, m_nBaudRate);
    PauseWindowThread(line::kSwitchSettleMs);
    ReopenPort();
    SendFromWindowThread(command);
    PauseWindowThread(line::kSwitchSettleMs);
    m_nBaudRate = kTransferBaudRate;
    ReopenPort();
    return 0;
}

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
