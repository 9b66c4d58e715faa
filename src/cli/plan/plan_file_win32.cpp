// Plan and report files on Windows: a Unicode path, a disk file only (GetFileType), and each
// line written at the end of the file in one WriteFile.
#include <windows.h>

#include "plan_file.h"
#include "system_error_text.h"
#include "utf16_text.h"

namespace {

HANDLE ToHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

std::string LastErrorText() {
    return SystemErrorText(GetLastError());
}

}  // namespace

CPlanFile::~CPlanFile() {
    if (m_handle != -1) {
        CloseHandle(ToHandle(m_handle));
    }
}

bool CPlanFile::Open(const std::string& path, Mode mode, std::string& reason) {
    const auto widePath = Utf8ToWideExact(path);
    if (!widePath) {
        reason = "the name is not valid text";
        return false;
    }
    const bool append = mode == Mode::Append;
    // A folder does not open without backup semantics, and a pipe is refused below.
    HANDLE handle =
        CreateFileW(widePath->c_str(), GENERIC_READ | (append ? GENERIC_WRITE : 0),
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    append ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = LastErrorText();
        return false;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        reason = kNotRegularFile;
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

bool CPlanFile::ReadAll(std::size_t maxBytes, std::string& text, std::string& reason) {
    text.clear();
    HANDLE handle = ToHandle(m_handle);
    LARGE_INTEGER start{};
    if (SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) == FALSE) {
        reason = LastErrorText();
        return false;
    }
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (ReadFile(handle, chunk, sizeof chunk, &got, nullptr) == FALSE) {
            reason = LastErrorText();
            return false;
        }
        if (got == 0) {
            return true;
        }
        text.append(chunk, got);
        if (text.size() > maxBytes) {
            reason.clear();
            return false;
        }
    }
}

bool CPlanFile::Truncate(std::uint64_t size, std::string& reason) {
    HANDLE handle = ToHandle(m_handle);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) == FALSE ||
        SetEndOfFile(handle) == FALSE) {
        reason = LastErrorText();
        return false;
    }
    return true;
}

bool CPlanFile::Append(const std::string& bytes, std::size_t& written, std::string& reason) {
    // Both offsets all ones: written at the end of the file, as with FILE_APPEND_DATA.
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD wrote = 0;
    const BOOL ok = WriteFile(ToHandle(m_handle), bytes.data(), static_cast<DWORD>(bytes.size()),
                              &wrote, &atEnd);
    written = wrote;
    reason = ok == FALSE ? LastErrorText() : std::string();
    return ok != FALSE && written == bytes.size();
}
