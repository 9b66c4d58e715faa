// The console the loader runs in: Ctrl-C as a stop request, and whether stderr is a terminal.
#pragma once

#include <atomic>

constexpr int kDefaultColumns = 80;

// From now on Ctrl-C (and, on POSIX, SIGTERM) sets `stop` instead of ending the process, so a
// session can close its port and say where it stopped.
void InstallStopHandler(std::atomic<bool>& stop);

// True when stderr is an interactive terminal that understands "\r" and ANSI cursor moves.
bool StderrIsTerminal();

// True when stdout is an interactive terminal (possibly the same screen as stderr).
bool StdoutIsTerminal();

// Width of the terminal stderr shows on, in characters (80 when it cannot be told).
int TerminalColumns();
