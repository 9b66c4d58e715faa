#include "about_box.h"

#include "resource.h"

CAboutBox::CAboutBox() : CDialog(IDD_ABOUT) {}

bool CAboutBox::DispatchMessageMap(unsigned /*message*/, std::uintptr_t /*wParam*/,
                                   std::intptr_t /*lParam*/, std::intptr_t& /*result*/) {
    // Nothing of its own: OK closes it as in any dialog.
    return false;
}
