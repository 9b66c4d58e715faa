#include "upgrade_app.h"

#include <commctrl.h>

#include "surface_win32.h"
#include "upgrade_dlg.h"

bool CUpgradeApp::InitInstance() {
    // The progress bar's window class is registered by the common controls library.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    CWin32DialogBackend backend(m_module);
    CUpgradeDlg dialog(backend);
    dialog.DoModal(backend);
    return false;
}
