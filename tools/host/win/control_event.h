// The console control handler that InstallSignalHandlers registers: what
// Windows calls, on a thread of its own, for Ctrl+C, Ctrl+Break, a closed
// console window, a logoff or a shutdown. It removes the staged files and
// ends pxq with STATUS_CONTROL_C_EXIT, or, while signals are forwarded to
// an installer, notes the event and returns TRUE.
#pragma once

#include <windows.h>

BOOL WINAPI OnConsoleControlEvent(DWORD event);
