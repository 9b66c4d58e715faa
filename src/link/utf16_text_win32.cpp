// UTF-8 and UTF-16 through the system's own converter, with malformed input handled on purpose.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "utf16_text.h"

namespace {

int CheckedLength(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) {
        throw std::length_error("text too long for a UTF-8/UTF-16 conversion");
    }
    return static_cast<int>(size);
}

// `flags` either asks for a failure on malformed input or lets the system put U+FFFD in its
// place; nothing when it failed.
std::optional<std::wstring> ToWide(std::string_view text, DWORD flags) {
    if (text.empty()) {
        return std::wstring();
    }
    const int size = CheckedLength(text.size());
    const int wideSize = MultiByteToWideChar(CP_UTF8, flags, text.data(), size, nullptr, 0);
    if (wideSize <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(wideSize), L'\0');
    if (MultiByteToWideChar(CP_UTF8, flags, text.data(), size, wide.data(), wideSize) != wideSize) {
        return std::nullopt;
    }
    return wide;
}

}  // namespace

std::optional<std::wstring> Utf8ToWideExact(std::string_view text) {
    return ToWide(text, MB_ERR_INVALID_CHARS);
}

std::wstring Utf8ToWide(std::string_view text) {
    if (auto exact = Utf8ToWideExact(text)) {
        return std::move(*exact);
    }
    // Without MB_ERR_INVALID_CHARS each malformed sequence is replaced by U+FFFD.
    if (auto replaced = ToWide(text, 0)) {
        return std::move(*replaced);
    }
    throw std::runtime_error("UTF-8 to UTF-16 conversion failed");
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = CheckedLength(text.size());
    // Flags 0: an unpaired surrogate is written as U+FFFD instead of failing the whole text.
    const int narrowSize =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(narrowSize, 0)), '\0');
    if (narrowSize <= 0 || WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(),
                                               narrowSize, nullptr, nullptr) != narrowSize) {
        throw std::runtime_error("UTF-16 to UTF-8 conversion failed");
    }
    return narrow;
}
