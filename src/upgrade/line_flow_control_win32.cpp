// Software flow control off on a Windows serial port (the device control block).
#include <windows.h>

#include <string>

#include "line_flow_control.h"

bool DisableSoftwareFlowControl(PortHandle handle, std::string& error) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the handle travels as an integer
    const HANDLE port = reinterpret_cast<HANDLE>(handle.value);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (GetCommState(port, &dcb) == FALSE) {
        error = "GetCommState failed, error " + std::to_string(GetLastError());
        return false;
    }
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (SetCommState(port, &dcb) == FALSE) {
        error = "SetCommState failed, error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}
