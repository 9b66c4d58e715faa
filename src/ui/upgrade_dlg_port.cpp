// CUpgradeDlg: the port (open, close, reopen, the window thread's own writes), the image and
// the upgrade-mode switch.
#include "upgrade_dlg.h"

#include <algorithm>
#include <cctype>

#include "device_dlg.h"
#include "hex_text.h"
#include "image_stream.h"
#include "line_timing.h"
#include "network_port_name.h"
#include "pelco_command.h"
#include "port_names.h"
#include "port_opening.h"
#include "resource.h"
#include "ui_texts.h"

namespace {
// A write on the window thread may take its wire time and this much more before the window
// gives up on a line that holds it back: the window must stay usable.
constexpr int kWindowWriteMarginMs = 1000;

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
