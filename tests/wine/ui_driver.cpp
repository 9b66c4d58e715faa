// Drives PtzUpgrade.exe from outside, as an operator would, for the Wine tests: finds windows by
// caption, clicks controls by id, reads control texts and states, answers message boxes and fills
// the file dialog. Every wait has a time limit; the first step that fails prints what it expected
// and what it saw, and the exit status is 1 (2 for a script that cannot be read).
//
// Usage: ui_driver.exe SCRIPT     (UTF-8, one step per line; '#' starts a comment line)
// A step is words separated by blanks; "double quotes" keep blanks in a word, \" is a quote
// (other backslashes stand for themselves, as in Windows paths).
// Times are in milliseconds; LIMIT is optional (default 10000).
//
//   window CAPTION [LIMIT]       wait for a visible top-level window; the steps below act on it
//   click ID                     click a control (it must be visible and enabled)
//   select ID INDEX              select a combo box entry and tell the window (CBN_SELCHANGE)
//   type ID TEXT                 set the text of an edit
//   keys ID TEXT                 type TEXT key by key into an edit, or a combo box's edit, that
//                                is emptied first (what the field keeps is what an operator gets)
//   text ID TEXT                 the control reads TEXT
//   wait-text ID TEXT [LIMIT]    wait until the control reads TEXT
//   enabled ID yes|no [LIMIT]    the control is enabled, or disabled (with LIMIT: within it)
//   visible ID yes|no            the control is visible, or hidden
//   list ID ITEM...              a combo box holds exactly these entries, in this order
//   selection ID INDEX           a combo box's selected entry (-1: none)
//   syscommand ID                choose an entry of the window's system menu
//   message TEXT [LIMIT]         wait for a message box saying TEXT
//   answer [ID]                  press a button of that message box (default OK) and wait
//                                until it closes
//   open-file CAPTION PATH [LIMIT]
//                                fill the file dialog with PATH and press Open
//   close                        close the window (WM_CLOSE)
//   gone [LIMIT]                 wait until the window no longer exists
//   save-rect PATH               write the window's screen rectangle as WxH+X+Y
//   sleep MS
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "utf16_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kDefaultLimitMs = 10000;
// How long the driver waits for the program to answer one message.
constexpr UINT kAnswerLimitMs = 5000;
constexpr milliseconds kPollInterval{50};
// Control ids of the system's file dialog: the file-name box (a combo box, or an edit).
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;

// A failed step: what was expected and what was seen.
struct StepFailure {
    std::string message;
};

[[noreturn]] void Fail(const std::string& message) {
    throw StepFailure{message};
}

std::wstring Wide(const std::string& text) {
    return Utf8ToWide(text);
}

std::string Narrow(const std::wstring& text) {
    return WideToUtf8(text);
}

std::optional<LRESULT> SendWithLimit(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                            kAnswerLimitMs, &result) == 0) {
        return std::nullopt;
    }
    return static_cast<LRESULT>(result);
}

LRESULT SendOrFail(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const std::optional<LRESULT> result = SendWithLimit(window, message, wParam, lParam);
    if (!result) {
        Fail("the program did not answer within " + std::to_string(kAnswerLimitMs) +
             " ms (is its window thread blocked?)");
    }
    return *result;
}

// The text of a window of another process (WM_GETTEXT: GetWindowText reads only captions there).
std::wstring TextOf(HWND window) {
    const std::optional<LRESULT> length = SendWithLimit(window, WM_GETTEXTLENGTH, 0, 0);
    if (!length || *length <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(*length) + 1, L'\0');
    const std::optional<LRESULT> copied =
        SendWithLimit(window, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                      reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied && *copied > 0 ? static_cast<std::size_t>(*copied) : 0);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    const int length = GetClassNameW(window, name, 256);
    return std::wstring(name, static_cast<std::size_t>(length > 0 ? length : 0));
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            if (IsWindowVisible(window) != FALSE) {
                // NOLINTNEXTLINE(performance-no-int-to-ptr): the list travels as LPARAM.
                reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM list) -> BOOL {
            // NOLINTNEXTLINE(performance-no-int-to-ptr): the list travels as LPARAM.
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
}

bool IsDialogWindow(HWND window) {
    return ClassOf(window) == L"#32770";
}

// The texts of the static controls of a dialog: what a message box says.
std::vector<std::wstring> StaticTexts(HWND dialog) {
    std::vector<std::wstring> texts;
    for (HWND child : ChildWindows(dialog)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") == 0) {
            std::wstring text = TextOf(child);
            if (!text.empty()) {
                texts.push_back(std::move(text));
            }
        }
    }
    return texts;
}

// What is on the screen, for failure reports.
std::string ScreenSummary() {
    std::string summary;
    for (HWND window : TopLevelWindows()) {
        const std::wstring caption = TextOf(window);
        if (caption.empty()) {
            continue;
        }
        summary += "\n    window \"" + Narrow(caption) + "\"";
        if (IsDialogWindow(window) && GetDlgItem(window, IDOK) != nullptr) {
            for (const std::wstring& text : StaticTexts(window)) {
                summary += " says \"" + Narrow(text) + "\"";
            }
        }
    }
    return summary.empty() ? "\n    (no window)" : summary;
}

// Polls `found` until it returns a window or `limitMs` has passed.
HWND WaitFor(int limitMs, const std::function<HWND()>& found) {
    const auto deadline = Clock::now() + milliseconds(limitMs);
    for (;;) {
        if (HWND window = found()) {
            return window;
        }
        if (Clock::now() >= deadline) {
            return nullptr;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

// A window with this caption; one without an owner first, so that the main window is found
// rather than a message box that carries the program's title.
HWND FindTopLevel(const std::wstring& caption) {
    HWND owned = nullptr;
    for (HWND window : TopLevelWindows()) {
        if (TextOf(window) != caption) {
            continue;
        }
        if (GetWindow(window, GW_OWNER) == nullptr) {
            return window;
        }
        if (owned == nullptr) {
            owned = window;
        }
    }
    return owned;
}

HWND FindMessageBox(const std::wstring& text) {
    for (HWND window : TopLevelWindows()) {
        if (!IsDialogWindow(window)) {
            continue;
        }
        for (const std::wstring& said : StaticTexts(window)) {
            if (said == text) {
                return window;
            }
        }
    }
    return nullptr;
}

class Driver {
  public:
    void Run(const std::vector<std::string>& words) {
        const std::string& step = words[0];
        const auto found = Steps().find(step);
        if (found == Steps().end()) {
            Fail("unknown step '" + step + "'");
        }
        found->second(*this, words);
    }

  private:
    using Words = std::vector<std::string>;
    using Step = std::function<void(Driver&, const Words&)>;

    static const std::map<std::string, Step>& Steps() {
        static const std::map<std::string, Step> steps = {
            {"window", &Driver::StepWindow},       {"click", &Driver::StepClick},
            {"select", &Driver::StepSelect},       {"type", &Driver::StepType},
            {"keys", &Driver::StepKeys},           {"text", &Driver::StepText},
            {"wait-text", &Driver::StepWaitText},  {"enabled", &Driver::StepEnabled},
            {"visible", &Driver::StepVisible},     {"list", &Driver::StepList},
            {"selection", &Driver::StepSelection}, {"syscommand", &Driver::StepSysCommand},
            {"message", &Driver::StepMessage},     {"answer", &Driver::StepAnswer},
            {"open-file", &Driver::StepOpenFile},  {"close", &Driver::StepClose},
            {"gone", &Driver::StepGone},           {"save-rect", &Driver::StepSaveRect},
            {"sleep", &Driver::StepSleep},
        };
        return steps;
    }

    static void NeedWords(const Words& words, std::size_t least, std::size_t most) {
        if (words.size() < least || words.size() > most) {
            Fail("'" + words[0] + "' takes " + std::to_string(least - 1) +
                 (most > least ? " to " + std::to_string(most - 1) : std::string()) +
                 " arguments, not " + std::to_string(words.size() - 1));
        }
    }

    static int Number(const std::string& word) {
        try {
            std::size_t used = 0;
            const int value = std::stoi(word, &used, 0);
            if (used == word.size()) {
                return value;
            }
        } catch (const std::exception&) {
        }
        Fail("'" + word + "' is not a number");
    }

    static int LimitAt(const Words& words, std::size_t index) {
        return words.size() > index ? Number(words[index]) : kDefaultLimitMs;
    }

    HWND Current() const {
        if (m_window == nullptr || IsWindow(m_window) == FALSE) {
            Fail("no window to act on (a 'window' step first, or the window has closed)" +
                 ScreenSummary());
        }
        return m_window;
    }

    HWND Control(const std::string& idWord) const {
        const int id = Number(idWord);
        HWND control = GetDlgItem(Current(), id);
        if (control == nullptr) {
            Fail("the window has no control " + std::to_string(id));
        }
        return control;
    }

    void StepWindow(const Words& words) {
        NeedWords(words, 2, 3);
        const std::wstring caption = Wide(words[1]);
        const int limit = LimitAt(words, 2);
        m_window = WaitFor(limit, [&] { return FindTopLevel(caption); });
        if (m_window == nullptr) {
            Fail("expected a window \"" + words[1] + "\" within " + std::to_string(limit) +
                 " ms; on the screen:" + ScreenSummary());
        }
    }

    void StepClick(const Words& words) {
        NeedWords(words, 2, 2);
        HWND control = Control(words[1]);
        if (IsWindowVisible(control) == FALSE || IsWindowEnabled(control) == FALSE) {
            Fail("control " + words[1] + " (\"" + Narrow(TextOf(control)) +
                 "\") cannot be clicked: it is " +
                 (IsWindowVisible(control) == FALSE ? "hidden" : "disabled"));
        }
        // Posted: a click that opens a modal window must not hold the driver.
        PostMessageW(Current(), WM_COMMAND, MAKEWPARAM(Number(words[1]), BN_CLICKED),
                     reinterpret_cast<LPARAM>(control));
    }

    void StepSelect(const Words& words) {
        NeedWords(words, 3, 3);
        HWND control = Control(words[1]);
        const int index = Number(words[2]);
        if (SendOrFail(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0) != index) {
            Fail("combo box " + words[1] + " has no entry " + words[2]);
        }
        PostMessageW(Current(), WM_COMMAND, MAKEWPARAM(Number(words[1]), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(control));
    }

    void StepType(const Words& words) {
        NeedWords(words, 3, 3);
        const std::wstring text = Wide(words[2]);
        SendOrFail(Control(words[1]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }

    void StepKeys(const Words& words) {
        NeedWords(words, 3, 3);
        HWND field = Control(words[1]);
        // A drop-down combo box takes its keys in the edit inside it.
        if (HWND edit = FindWindowExW(field, nullptr, L"Edit", nullptr)) {
            field = edit;
        }
        SendOrFail(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
        for (const wchar_t key : Wide(words[2])) {
            SendOrFail(field, WM_CHAR, key, 1);
        }
    }

    void StepText(const Words& words) {
        NeedWords(words, 3, 3);
        const std::string seen = Narrow(TextOf(Control(words[1])));
        if (seen != words[2]) {
            Fail("expected control " + words[1] + " to read \"" + words[2] + "\", it reads \"" +
                 seen + "\"");
        }
    }

    void StepWaitText(const Words& words) {
        NeedWords(words, 3, 4);
        HWND control = Control(words[1]);
        const std::wstring expected = Wide(words[2]);
        const int limit = LimitAt(words, 3);
        if (WaitFor(limit, [&] { return TextOf(control) == expected ? control : nullptr; }) ==
            nullptr) {
            Fail("expected control " + words[1] + " to read \"" + words[2] + "\" within " +
                 std::to_string(limit) + " ms, it reads \"" + Narrow(TextOf(control)) +
                 "\"; on the screen:" + ScreenSummary());
        }
    }

    static bool YesNo(const std::string& word) {
        if (word != "yes" && word != "no") {
            Fail("expected yes or no, not '" + word + "'");
        }
        return word == "yes";
    }

    void StepEnabled(const Words& words) {
        NeedWords(words, 3, 4);
        const bool expected = YesNo(words[2]);
        HWND control = Control(words[1]);
        const auto matches = [&] {
            return (IsWindowEnabled(control) != FALSE) == expected ? control : nullptr;
        };
        // With a limit, waits for the state: an answer from the head may still be on its way.
        if (words.size() == 4) {
            (void)WaitFor(LimitAt(words, 3), matches);
        }
        const bool seen = IsWindowEnabled(control) != FALSE;
        if (seen != expected) {
            Fail("expected control " + words[1] + " to be " + (expected ? "enabled" : "disabled") +
                 ", it is " + (seen ? "enabled" : "disabled"));
        }
    }

    void StepVisible(const Words& words) {
        NeedWords(words, 3, 3);
        const bool expected = YesNo(words[2]);
        // The control's own style: IsWindowVisible would also count a hidden parent.
        const bool seen = (GetWindowLongPtrW(Control(words[1]), GWL_STYLE) &
                           static_cast<LONG_PTR>(WS_VISIBLE)) != 0;
        if (seen != expected) {
            Fail("expected control " + words[1] + " to be " + (expected ? "visible" : "hidden") +
                 ", it is " + (seen ? "visible" : "hidden"));
        }
    }

    void StepList(const Words& words) {
        NeedWords(words, 2, 1000);
        HWND control = Control(words[1]);
        const LRESULT count = SendOrFail(control, CB_GETCOUNT, 0, 0);
        std::string seen;
        std::string expected;
        for (LRESULT index = 0; index < count; ++index) {
            const LRESULT length = SendOrFail(control, CB_GETLBTEXTLEN, index, 0);
            std::wstring item(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
            const LRESULT copied =
                SendOrFail(control, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(item.data()));
            item.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
            seen += (index == 0 ? "" : " ") + Narrow(item);
        }
        for (std::size_t index = 2; index < words.size(); ++index) {
            expected += (index == 2 ? "" : " ") + words[index];
        }
        if (seen != expected) {
            Fail("expected combo box " + words[1] + " to hold [" + expected + "], it holds [" +
                 seen + "]");
        }
    }

    void StepSelection(const Words& words) {
        NeedWords(words, 3, 3);
        const LRESULT seen = SendOrFail(Control(words[1]), CB_GETCURSEL, 0, 0);
        if (seen != Number(words[2])) {
            Fail("expected combo box " + words[1] + " to have entry " + words[2] +
                 " selected, it has " + std::to_string(seen));
        }
    }

    void StepSysCommand(const Words& words) {
        NeedWords(words, 2, 2);
        PostMessageW(Current(), WM_SYSCOMMAND, static_cast<WPARAM>(Number(words[1])), 0);
    }

    void StepMessage(const Words& words) {
        NeedWords(words, 2, 3);
        const std::wstring text = Wide(words[1]);
        const int limit = LimitAt(words, 2);
        m_messageBox = WaitFor(limit, [&] { return FindMessageBox(text); });
        if (m_messageBox == nullptr) {
            Fail("expected a message box saying \"" + words[1] + "\" within " +
                 std::to_string(limit) + " ms; on the screen:" + ScreenSummary());
        }
    }

    void StepAnswer(const Words& words) {
        NeedWords(words, 1, 2);
        if (m_messageBox == nullptr || IsWindow(m_messageBox) == FALSE) {
            Fail("no message box to answer (a 'message' step first)");
        }
        const int button = words.size() > 1 ? Number(words[1]) : IDOK;
        HWND control = GetDlgItem(m_messageBox, button);
        if (control == nullptr) {
            Fail("the message box has no button " + std::to_string(button));
        }
        PostMessageW(m_messageBox, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(control));
        HWND box = m_messageBox;
        if (WaitFor(kDefaultLimitMs, [&] { return IsWindow(box) == FALSE ? box : nullptr; }) ==
            nullptr) {
            Fail("the message box did not close after its button " + std::to_string(button) +
                 " was pressed");
        }
        m_messageBox = nullptr;
    }

    void StepOpenFile(const Words& words) {
        NeedWords(words, 3, 4);
        const std::wstring caption = Wide(words[1]);
        const int limit = LimitAt(words, 3);
        HWND dialog = WaitFor(limit, [&] {
            HWND window = FindTopLevel(caption);
            return window != nullptr && IsDialogWindow(window) ? window : nullptr;
        });
        if (dialog == nullptr) {
            Fail("expected the file dialog \"" + words[1] + "\" within " + std::to_string(limit) +
                 " ms; on the screen:" + ScreenSummary());
        }
        HWND name = GetDlgItem(dialog, kFileNameCombo);
        if (name == nullptr) {
            name = GetDlgItem(dialog, kFileNameEdit);
        }
        if (name == nullptr) {
            Fail("the file dialog \"" + words[1] + "\" has no file-name box");
        }
        const std::wstring path = Wide(words[2]);
        SendOrFail(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
        if (WaitFor(limit, [&] { return IsWindow(dialog) == FALSE ? dialog : nullptr; }) ==
            nullptr) {
            Fail("the file dialog did not take \"" + words[2] + "\" within " +
                 std::to_string(limit) + " ms; on the screen:" + ScreenSummary());
        }
    }

    void StepClose(const Words& words) {
        NeedWords(words, 1, 1);
        PostMessageW(Current(), WM_CLOSE, 0, 0);
    }

    void StepGone(const Words& words) {
        NeedWords(words, 1, 2);
        HWND window = m_window;
        const int limit = LimitAt(words, 1);
        if (window != nullptr && WaitFor(limit, [&] {
                                     return IsWindow(window) == FALSE ? window : nullptr;
                                 }) == nullptr) {
            Fail("expected the window to close within " + std::to_string(limit) +
                 " ms; on the screen:" + ScreenSummary());
        }
        m_window = nullptr;
    }

    void StepSaveRect(const Words& words) {
        NeedWords(words, 2, 2);
        RECT rect{};
        GetWindowRect(Current(), &rect);
        FILE* file = _wfopen(Wide(words[1]).c_str(), L"w");
        if (file == nullptr) {
            Fail("cannot write " + words[1]);
        }
        std::fprintf(file, "%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top,
                     rect.left, rect.top);
        std::fclose(file);
    }

    static void StepSleep(Driver& /*driver*/, const Words& words) {
        NeedWords(words, 2, 2);
        std::this_thread::sleep_for(milliseconds(Number(words[1])));
    }

    HWND m_window = nullptr;
    HWND m_messageBox = nullptr;
};

// Splits a step into words: blanks separate, double quotes group, \" in quotes is a quote.
std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
                word += line[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        Fail("a quote is not closed");
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

std::optional<std::string> ReadFile(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, got);
    }
    std::fclose(file);
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ui_driver.exe SCRIPT\n");
        return 2;
    }
    const std::optional<std::string> script = ReadFile(argv[1]);
    if (!script) {
        std::fprintf(stderr, "ui_driver: cannot read %s\n", Narrow(argv[1]).c_str());
        return 2;
    }
    Driver driver;
    std::size_t start = 0;
    int lineNumber = 0;
    while (start < script->size()) {
        std::size_t end = script->find('\n', start);
        if (end == std::string::npos) {
            end = script->size();
        }
        const std::string line = script->substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        try {
            const std::vector<std::string> words = SplitWords(line);
            if (words.empty() || words[0][0] == '#') {
                continue;
            }
            driver.Run(words);
            std::printf("ok   %d: %s\n", lineNumber, line.c_str());
            std::fflush(stdout);
        } catch (const StepFailure& failure) {
            std::printf("FAIL %d: %s\n     %s\n", lineNumber, line.c_str(),
                        failure.message.c_str());
            std::fflush(stdout);
            return 1;
        }
    }
    return 0;
}
