// The dialogs and strings of the program's resource script, read from its text, so that the
// headless backend builds exactly the controls the .exe gets from the resource compiler.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

enum class ControlKind { Static, Button, GroupBox, Edit, ComboBox, Progress, Icon, Other };

struct ControlTemplate {
    int id = -1;
    ControlKind kind = ControlKind::Other;
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;  // dialog units
    std::string styles;                       // as written, e.g. "CBS_DROPDOWN | CBS_SORT"
    bool disabled = false;                    // WS_DISABLED
    bool visible = true;                      // not NOT WS_VISIBLE
};

struct DialogTemplate {
    int id = -1;
    std::string caption;
    std::string fontFace;
    int fontSize = 0;
    int width = 0, height = 0;
    std::string styles;
    std::string extendedStyles;
    std::vector<ControlTemplate> controls;

    const ControlTemplate* FindControl(int controlId) const;
};

struct ResourceScript {
    std::vector<DialogTemplate> dialogs;
    std::map<int, std::string> strings;
    std::vector<std::string> errors;  // lines that could not be read

    const DialogTemplate* FindDialog(int dialogId) const;
};

// Reads the script; `defines` is the text of the headers whose #define lines name the ids.
ResourceScript ParseResourceScript(std::string_view script, std::string_view defines);

// The program's own resources, read once.
const ResourceScript& ProgramResources();

// Texts of the script and of the identifier headers, embedded at build time.
const char* ResourceScriptText();
const char* ResourceIdentifierText();
