// The About box: the program's name and version, from the resources.
#pragma once

#include "dialog.h"

class CAboutBox : public CDialog {
  public:
    CAboutBox();

  protected:
    bool DispatchMessageMap(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                            std::intptr_t& result) override;
};
