// Ctrl-C and terminal detection on Windows.
#include <windows.h>

#include "console.h"

namespace {
std::atomic<bool>* g_stopFlag = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && g_stopFlag != nullptr) {
        g_stopFlag->store(true);
        return TRUE;  // handled: the session closes the port and reports
    }
    return FALSE;
}
}  // namespace

void InstallStopHandler(std::atomic<bool>& stop) {
    g_stopFlag = &stop;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StderrIsTerminal() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || GetConsoleMode(err, &mode) == FALSE) {
        return false;
    }
    // Progress lines redraw themselves with ANSI cursor moves.
    SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return true;
}

bool StdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == FALSE) {
        return kDefaultColumns;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}
