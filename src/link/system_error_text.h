// The system's own words for a Windows error code, as the one place every Windows part of the
// program gets them from. Built for Windows only.
#pragma once

#include <string>

// UTF-8, without the trailing line break; "Windows error N." when the system has no text.
std::string SystemErrorText(unsigned long code);
