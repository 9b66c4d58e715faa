// Control identifiers of the main window and its private messages. Plain macros because the
// resource script (.rc) includes this file too, and the resource compiler understands only #define.
#pragma once

#include "private_messages.h"

// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#define IDD_UPGRADE 102

#define IDC_EDIT_PATH 1000
#define IDC_PROGRESS 1001
#define IDC_BTN_SELECT 1002
#define IDC_BTN_START 1003
#define IDC_STATIC_NOTE 1004
#define IDC_COMBO_PORT 1005
#define IDC_BTN_PORT 1009
#define IDC_BTN_CONNECT 1011
#define IDC_STATIC_SENT 1013
#define IDC_GROUP_FILE 1014
#define IDC_STATIC_TOTAL 1015

// NOLINTEND(cppcoreguidelines-macro-usage)
