// Resource identifiers of PtzUpgrade.exe. Plain macros: the resource script includes this file,
// and the resource compiler understands only #define.
#pragma once

#include "control_ids.h"

// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#define IDD_ABOUT 100
#define IDS_ABOUT_MENU 101
#define IDI_MAIN 128
#define IDD_DEVICE 130

// System-menu command of the About entry (the low four bits belong to the system).
#define IDM_ABOUT 0x0010

// Device dialog.
#define IDC_STATIC_PROTOCOL 1017
#define IDC_STATIC_SPEED 1019
#define IDC_EDIT_ADDRESS 1021
#define IDC_COMBO_PROTOCOL 1023
#define IDC_COMBO_SPEED 1024
#define IDC_BTN_LAUNCH 1025

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)
