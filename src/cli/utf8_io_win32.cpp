// Windows hands main() its arguments in the ANSI code page: take them as UTF-16 instead, and
// open files through the wide API.
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <cerrno>

#include "utf16_text.h"
#include "utf8_io.h"

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return {argv, argv + argc};
    }
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        args.push_back(WideToUtf8(wide[i]));
    }
    LocalFree(wide);
    return args;
}

std::FILE* OpenUtf8File(const std::string& path, const char* mode) {
    // A path that is not valid UTF-8 would open (or create) a file of another name.
    const std::optional<std::wstring> widePath = Utf8ToWideExact(path);
    if (!widePath) {
        errno = EILSEQ;
        return nullptr;
    }
    return _wfopen(widePath->c_str(), Utf8ToWide(mode).c_str());
}
