// What a dialog needs from the platform beyond the window surface the program logic uses:
// reading texts back, ending the dialog, the file dialog, the system menu, icons and painting.
// A backend (Win32, or headless for tests) implements both interfaces below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "window_surface.h"

class CDialog;

// An icon loaded from the program's resources; 0 when none.
using IconHandle = std::intptr_t;

class IDialogWindow : public IWindowSurface {
  public:
    // Text of a control (an edit, or the edit part of a drop-down combo box).
    virtual std::string GetItemText(int controlId) = 0;
    // Ends the modal loop of this dialog with `result` once the current handler returns.
    virtual void EndDialog(int result) = 0;
    // Sends a message to the window that owns this one and returns its result.
    virtual std::intptr_t SendToOwner(unsigned message, std::uintptr_t wParam,
                                      std::intptr_t lParam) = 0;

    // The file-open dialog, owned by this window: the chosen full path (UTF-8), or nothing when
    // the operator cancelled. `filter` pairs are separated by '|' ("Bin File (*.bin)|*.bin|").
    virtual std::optional<std::string> ChooseFileToOpen(const std::string& filter) = 0;

    // Appends a separator and an entry to the window's system menu; false when it has none.
    virtual bool AppendSystemMenuEntry(unsigned commandId, const std::string& text) = 0;
    // The window's large and small icon.
    virtual void SetWindowIcon(IconHandle icon) = 0;
    virtual bool IsMinimized() = 0;
    // Paints the minimised window: background, then `icon` centred in the client area.
    virtual void PaintIconCentred(IconHandle icon) = 0;
};

class IDialogBackend {
  public:
    virtual ~IDialogBackend() = default;
    // Creates the dialog's window from its template, runs it modally (owned by `owner`'s window,
    // or by none) and returns the value given to EndDialog.
    virtual int RunModal(CDialog& dialog, CDialog* owner) = 0;
    virtual IconHandle LoadAppIcon(int iconId) = 0;
    // A string of the program's string table; empty when there is none.
    virtual std::string LoadResourceString(int stringId) = 0;
};
