// What the headless desktop shows a test of a control, of a prompt (message box or file
// dialog) and of a window's taskbar button: plain copies, read from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "resource_script.h"
#include "window_surface.h"

struct HeadlessControl {
    ControlKind kind = ControlKind::Other;
    std::string text;
    bool enabled = true;
    bool visible = true;
    std::vector<std::string> items;  // list of a combo box
    int selection = -1;
    std::int32_t rangeLow = 0;
    std::int32_t rangeHigh = 100;
    std::int32_t position = 0;
};

struct HeadlessPrompt {
    enum class Kind { MessageBox, FileDialog };
    Kind kind = Kind::MessageBox;
    std::string text;     // message, or the file dialog's filter
    std::string caption;  // as given: empty means the application's title
    unsigned style = 0;
    int ownerDialogId = 0;
};

struct HeadlessTaskbar {
    TaskbarProgress state = TaskbarProgress::None;
    std::int64_t done = 0;
    std::int64_t total = 0;
    int updates = 0;  // calls so far
};
