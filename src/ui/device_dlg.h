// The device dialog: which head to switch into upgrade mode (bus address, control protocol,
// control speed). Its one button hands a DeviceChoice to the owner window, which runs the switch.
#pragma once

#include <optional>
#include <string>

#include "controls.h"
#include "dialog.h"

class CDeviceDlg : public CDialog {
  public:
    CDeviceDlg();

  protected:
    void DoDataExchange();
    bool OnInitDialog() override;
    bool DispatchMessageMap(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                            std::intptr_t& result) override;

  private:
    void OnLaunch();

    CComboBox m_cboSpeed;
    CComboBox m_cboProtocol;
};

// The address field read as the C library's atoi reads it (leading white space, an optional
// sign, digits up to the first other character, no digits: 0), but saturating instead of
// overflowing on a long run of digits.
long ParseAddressText(const std::string& text);
