#include "device_dlg.h"

#include <cctype>

#include "control_ids.h"
#include "device_choice.h"
#include "pelco_command.h"
#include "resource.h"
#include "ui_texts.h"

namespace {
constexpr long kLowestAddress = 1;
constexpr long kHighestAddress = 255;
// Far above any address: enough digits are read to know the value is out of range.
constexpr long kAddressSaturation = 1000000;
constexpr int kDefaultProtocol = PELCO_D;
constexpr int kDefaultSpeed = 0;  // 2400

std::uint8_t SelectionByte(int selection) {
    // No selection (-1) travels as 0xFF, as the list's result stored in one byte.
    return static_cast<std::uint8_t>(selection & 0xFF);
}
}  // namespace

long ParseAddressText(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
        value = value * 10 + (text[at] - '0');
        if (value > kAddressSaturation) {
            value = kAddressSaturation;
        }
        ++at;
    }
    return negative ? -value : value;
}

CDeviceDlg::CDeviceDlg() : CDialog(IDD_DEVICE) {}

bool CDeviceDlg::DispatchMessageMap(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                    std::intptr_t& result) {
    using D = CDeviceDlg;
    static const MessageMapEntry<D> kMessageMap[] = {
        OnCommand<D>(win::kBnClicked, IDC_BTN_LAUNCH, &D::OnLaunch),
    };
    return Dispatch(*this, kMessageMap, message, wParam, lParam, result);
}

void CDeviceDlg::DoDataExchange() {
    m_cboSpeed.Attach(Window(), IDC_COMBO_SPEED);
    m_cboProtocol.Attach(Window(), IDC_COMBO_PROTOCOL);
    int index = 0;
    for (const char* name : text::kProtocolNames) {
        m_cboProtocol.InsertString(index++, name);
    }
    index = 0;
    for (const std::int32_t speed : kControlSpeeds) {
        m_cboSpeed.InsertString(index++, std::to_string(speed));
    }
    Window().SetItemText(IDC_EDIT_ADDRESS, text::kInitialAddress);
    m_cboProtocol.SetCurSel(kDefaultProtocol);
    m_cboSpeed.SetCurSel(kDefaultSpeed);
}

bool CDeviceDlg::OnInitDialog() {
    DoDataExchange();
    return true;
}

void CDeviceDlg::OnLaunch() {
    const long address = ParseAddressText(Window().GetItemText(IDC_EDIT_ADDRESS));
    if (address < kLowestAddress || address > kHighestAddress) {
        Window().MessageBox(text::kAddressError, "", win::kMbOk);
        return;
    }
    DeviceChoice choice{static_cast<std::uint8_t>(address),
                        SelectionByte(m_cboProtocol.GetCurSel()),
                        SelectionByte(m_cboSpeed.GetCurSel())};
    // Returns once the owner has run the whole switch.
    (void)Window().SendToOwner(WM_DEVICE_SELECTED, reinterpret_cast<std::uintptr_t>(&choice),
                               kDeviceChoiceLParam);
    EndDialog(win::kIdOk);
}
