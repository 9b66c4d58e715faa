#include "upgrade_dlg.h"

#include "about_box.h"
#include "port_choices.h"
#include "resource.h"
#include "serial_upgrade_line.h"
#include "ui_texts.h"

namespace {
constexpr int kPortCount = 10;

CSteadyClock& SystemClock() {
    static CSteadyClock clock;
    return clock;
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
