// The main window's private messages, every one in one place: those of the receive worker and
// the device dialog, whose numbers are fixed, and those the window program adds for its own
// threads. Plain macros, like the control identifiers beside them.
#pragma once

// NOLINTBEGIN(cppcoreguidelines-macro-usage)
// A received chunk: wParam its address (PortChunk), lParam its length. Posted by the receive
// worker.
#define WM_PORT_DATA 2025
// Close, pause and reopen the port; accepted from any sender.
#define WM_PORT_REOPEN 2027
// The device dialog's choice: wParam the address of a DeviceChoice, lParam 3. Sent.
#define WM_DEVICE_SELECTED 2028
// The transfer worker asks for the sent counter to be shown (coalesced: at most one queued).
#define WM_SENT_COUNT_CHANGED 2029
// The transfer worker has ended on its own; wParam is a TransferEnd value.
#define WM_TRANSFER_ENDED 2030
// The receive worker of the current opening ended on an error: the port went away.
#define WM_PORT_LOST 2031
// NOLINTEND(cppcoreguidelines-macro-usage)
