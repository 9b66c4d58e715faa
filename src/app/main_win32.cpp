// Entry point of PtzUpgrade.exe (wWinMain, so the command line would arrive as UTF-16).
#include <windows.h>

#include <exception>
#include <string>

#include "ui_texts.h"
#include "upgrade_app.h"
#include "utf16_text.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
    // The dialogs catch what their handlers throw; this catches what fails around them.
    try {
        CUpgradeApp app(instance);
        app.InitInstance();
        return 0;
    } catch (const std::exception& error) {
        const std::wstring message = Utf8ToWide(text::ProgramCannotRun(error.what()));
        MessageBoxW(nullptr, message.c_str(), Utf8ToWide(text::kApplicationTitle).c_str(),
                    MB_OK | MB_ICONERROR);
        return 1;
    }
}
