// The application object of PtzUpgrade.exe: it runs the main window modally, and the program
// ends when that window closes.
#pragma once

#include <windows.h>

class CUpgradeApp {
  public:
    // `module` holds the program's dialogs, icon and strings.
    explicit CUpgradeApp(HINSTANCE module) : m_module(module) {}

    // Runs the main window to its end. Always false: the program has no message loop of its
    // own to enter afterwards.
    bool InitInstance();

  private:
    HINSTANCE m_module;
};
