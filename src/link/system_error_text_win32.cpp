// Windows error codes as text, through FormatMessageW and the program's UTF-16 conversion.
#include <windows.h>

#include "system_error_text.h"
#include "utf16_text.h"

std::string SystemErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string reason;
    if (length > 0 && buffer != nullptr) {
        reason = WideToUtf8(std::wstring_view(buffer, length));
    }
    LocalFree(buffer);
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
        reason.pop_back();
    }
    if (reason.empty()) {
        reason = "Windows error " + std::to_string(code) + ".";
    }
    return reason;
}
