// Entry point of PtzUpgrade.exe (wWinMain, so the command line would arrive as UTF-16).
#include <windows.h>

#include <exception>
#include <string>

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
        const std::wstring text = L"云台升级软件无法运行：" + Utf8ToWide(error.what()) +
                                  L"\n请重新启动程序；若仍出错，请重新安装。";
        MessageBoxW(nullptr, text.c_str(), L"云台升级软件", MB_OK | MB_ICONERROR);
        return 1;
    }
}
