// A reader for the small subset of the resource-script language the program's .rc uses: one
// statement per line, DIALOGEX blocks with the standard control statements, and a string table.
// Written by hand because no packaged library reads .rc files; the subset is fixed by our script.
#include "resource_script.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <sstream>

namespace {

std::string Trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

// Splits a statement's arguments at commas outside quotes; quoted texts lose their quotes
// ("" inside a quoted text is one quote, as the resource compiler reads it).
std::vector<std::string> SplitArguments(std::string_view text) {
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                current.push_back('"');
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (ch == ',' && !quoted) {
            parts.push_back(Trim(current));
            current.clear();
        } else {
            current.push_back(ch);
        }
    }
    parts.push_back(Trim(current));
    return parts;
}

class IdTable {
  public:
    explicit IdTable(std::string_view defines) {
        m_values["IDOK"] = 1;
        m_values["IDCANCEL"] = 2;
        m_values["IDC_STATIC"] = -1;
        std::istringstream lines{std::string(defines)};
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string directive;
            std::string name;
            std::string value;
            if (words >> directive >> name >> value && directive == "#define") {
                if (const auto number = Number(value)) {
                    m_values[name] = *number;
                }
            }
        }
    }

    std::optional<int> Resolve(const std::string& token) const {
        if (const auto number = Number(token)) {
            return number;
        }
        const auto found = m_values.find(token);
        if (found == m_values.end()) {
            return std::nullopt;
        }
        return found->second;
    }

  private:
    static std::optional<int> Number(std::string token) {
        if (token.size() > 2 && token.front() == '(' && token.back() == ')') {
            token = token.substr(1, token.size() - 2);
        }
        if (token.empty()) {
            return std::nullopt;
        }
        char* end = nullptr;
        const long value = std::strtol(token.c_str(), &end, 0);
        if (end == nullptr || *end != '\0') {
            return std::nullopt;
        }
        return static_cast<int>(value);
    }

    std::map<std::string, int> m_values;
};

struct ControlForm {
    const char* keyword;
    ControlKind kind;
    bool hasText;
};

constexpr ControlForm kControlForms[] = {
    {"LTEXT", ControlKind::Static, true},
    {"CTEXT", ControlKind::Static, true},
    {"RTEXT", ControlKind::Static, true},
    {"PUSHBUTTON", ControlKind::Button, true},
    {"DEFPUSHBUTTON", ControlKind::Button, true},
    {"GROUPBOX", ControlKind::GroupBox, true},
    {"EDITTEXT", ControlKind::Edit, false},
    {"COMBOBOX", ControlKind::ComboBox, false},
    {"ICON", ControlKind::Icon, true},
};

ControlKind KindOfClass(const std::string& className) {
    if (className == "msctls_progress32") {
        return ControlKind::Progress;
    }
    if (className == "Button") {
        return ControlKind::Button;
    }
    if (className == "Static") {
        return ControlKind::Static;
    }
    if (className == "Edit") {
        return ControlKind::Edit;
    }
    if (className == "ComboBox") {
        return ControlKind::ComboBox;
    }
    return ControlKind::Other;
}

bool ReadRect(const std::vector<std::string>& args, std::size_t at, ControlTemplate& control) {
    if (args.size() < at + 4) {
        return false;
    }
    int* fields[] = {&control.x, &control.y, &control.width, &control.height};
    for (std::size_t i = 0; i < 4; ++i) {
        char* end = nullptr;
        *fields[i] = static_cast<int>(std::strtol(args[at + i].c_str(), &end, 10));
        if (end == nullptr || *end != '\0' || args[at + i].empty()) {
            return false;
        }
    }
    return true;
}

void ApplyStyles(ControlTemplate& control) {
    control.disabled = control.styles.find("WS_DISABLED") != std::string::npos;
    control.visible = control.styles.find("NOT WS_VISIBLE") == std::string::npos;
}

std::optional<ControlTemplate> ReadControl(const std::string& keyword, const std::string& rest,
                                           const IdTable& ids) {
    const auto args = SplitArguments(rest);
    ControlTemplate control;
    if (keyword == "CONTROL") {
        // CONTROL "text",ID,"class",styles,x,y,w,h
        if (args.size() < 8) {
            return std::nullopt;
        }
        const auto id = ids.Resolve(args[1]);
        if (!id || !ReadRect(args, 4, control)) {
            return std::nullopt;
        }
        control.id = *id;
        control.text = args[0];
        control.kind = KindOfClass(args[2]);
        control.styles = args[3];
        ApplyStyles(control);
        return control;
    }
    for (const auto& form : kControlForms) {
        if (keyword != form.keyword) {
            continue;
        }
        const std::size_t idAt = form.hasText ? 1 : 0;
        if (args.size() < idAt + 5) {
            return std::nullopt;
        }
        const auto id = ids.Resolve(args[idAt]);
        if (!id || !ReadRect(args, idAt + 1, control)) {
            return std::nullopt;
        }
        control.id = *id;
        control.kind = form.kind;
        control.text = form.hasText ? args[0] : std::string();
        for (std::size_t i = idAt + 5; i < args.size(); ++i) {
            control.styles += (control.styles.empty() ? "" : ", ") + args[i];
        }
        ApplyStyles(control);
        return control;
    }
    return std::nullopt;
}

int ToInt(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return end == text.c_str() ? 0 : static_cast<int>(value);
}

std::string Unquote(const std::string& text) {
    const auto args = SplitArguments(text);
    return args.empty() ? std::string() : args[0];
}

}  // namespace

const ControlTemplate* DialogTemplate::FindControl(int controlId) const {
    for (const auto& control : controls) {
        if (control.id == controlId) {
            return &control;
        }
    }
    return nullptr;
}

const DialogTemplate* ResourceScript::FindDialog(int dialogId) const {
    for (const auto& dialog : dialogs) {
        if (dialog.id == dialogId) {
            return &dialog;
        }
    }
    return nullptr;
}

ResourceScript ParseResourceScript(std::string_view script, std::string_view defines) {
    const IdTable ids(defines);
    ResourceScript result;
    enum class Block { None, DialogHead, DialogBody, StringTable, StringBody } block = Block::None;
    std::istringstream lines{std::string(script)};
    std::string raw;
    while (std::getline(lines, raw)) {
        const std::string line = Trim(raw);
        if (line.empty() || line.rfind("//", 0) == 0 || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        std::string first;
        words >> first;
        std::string rest = Trim(line.substr(first.size()));
        switch (block) {
            case Block::None: {
                std::string second;
                std::istringstream restWords(rest);
                restWords >> second;
                if (first == "STRINGTABLE") {
                    block = Block::StringTable;
                } else if (second == "DIALOGEX" || second == "DIALOG") {
                    DialogTemplate dialog;
                    dialog.id = ids.Resolve(first).value_or(-1);
                    const auto size = SplitArguments(Trim(rest.substr(second.size())));
                    if (size.size() == 4) {
                        dialog.width = ToInt(size[2]);
                        dialog.height = ToInt(size[3]);
                    }
                    result.dialogs.push_back(dialog);
                    block = Block::DialogHead;
                }
                break;
            }
            case Block::DialogHead: {
                DialogTemplate& dialog = result.dialogs.back();
                if (first == "BEGIN") {
                    block = Block::DialogBody;
                } else if (first == "CAPTION") {
                    dialog.caption = Unquote(rest);
                } else if (first == "STYLE") {
                    dialog.styles = rest;
                } else if (first == "EXSTYLE") {
                    dialog.extendedStyles = rest;
                } else if (first == "FONT") {
                    const auto args = SplitArguments(rest);
                    dialog.fontSize = ToInt(args[0]);
                    dialog.fontFace = args.size() > 1 ? args[1] : std::string();
                }
                break;
            }
            case Block::DialogBody:
                if (first == "END") {
                    block = Block::None;
                } else if (auto control = ReadControl(first, rest, ids)) {
                    result.dialogs.back().controls.push_back(*control);
                } else {
                    result.errors.push_back(line);
                }
                break;
            case Block::StringTable:
                if (first == "BEGIN") {
                    block = Block::StringBody;
                }
                break;
            case Block::StringBody:
                if (first == "END") {
                    block = Block::None;
                } else if (const auto id = ids.Resolve(first)) {
                    result.strings[*id] = Unquote(rest);
                } else {
                    result.errors.push_back(line);
                }
                break;
        }
    }
    return result;
}

const ResourceScript& ProgramResources() {
    static const ResourceScript resources =
        ParseResourceScript(ResourceScriptText(), ResourceIdentifierText());
    return resources;
}
