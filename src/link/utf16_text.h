// UTF-8, the program's text everywhere, and UTF-16, the text of the Windows (W) API: the one
// conversion between them that all Windows code uses. Built for Windows only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Malformed UTF-8 (a stray byte, a cut sequence) becomes U+FFFD, the replacement character, in
// place: the rest of the text is kept, never cut short at the fault. Embedded NULs are kept.
// Throws std::length_error for a text of 2 GiB or more, which the system calls cannot take.
std::wstring Utf8ToWide(std::string_view text);

// An unpaired surrogate becomes U+FFFD (EF BF BD), as above.
std::string WideToUtf8(std::wstring_view text);

// For names that must reach the system exactly as written (a port, a file to open): nothing
// when the text is not valid UTF-8, so that a look-alike name is never opened or created.
std::optional<std::wstring> Utf8ToWideExact(std::string_view text);
