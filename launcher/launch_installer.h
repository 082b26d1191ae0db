// Running the extracted installer and waiting for it.
#pragma once

#include <stdint.h>

#include "platform/types.h"

// Starts `temppath` with the command line
// "\"<temppath>\" <Arguments> <tag> <own arguments> \"<ownpath>\"", waits for
// it while emptying the thread's message queue, and makes its exit code
// ExitCode. When the version resource's "LoaderPath" says "environment", the
// line ends after the own arguments and the installer finds `ownpath` in its
// variable PXQ_LOADER_PATH; otherwise that variable is removed from what the
// installer inherits. On a failure it reports through ReportError and sets
// ExitCode: 252 when the installer could not be started (the command line
// too long, or the variable not set, included), 251 when the wait or the
// reading of the exit code failed.
// Returns 0, or the system error number of the failure. Leaves nothing open.
//
// `heldcopy`, when not INVALID_HANDLE_VALUE, is a handle on the copy that
// keeps others from writing or deleting it; it is closed as soon as
// CreateProcess has returned (or on a failure before it).
//
// With `widecalls` (Windows NT) the own arguments come from GetCommandLineW
// and the installer is started with CreateProcessW, so that every character
// reaches it as the user gave it; without (the 95/98/Me family) through
// GetCommandLineA and CreateProcessA.
//
// `exactownpath`, when given (Windows NT only), is the loader's path where
// `ownpath` names no file: the version resource and the tag are read
// through it, and it is the path that the installer gets, on its command
// line or in PXQ_LOADER_PATH (set through SetEnvironmentVariableW).
uint32_t LaunchInstaller(const char* temppath, const char* ownpath, HANDLE heldcopy = INVALID_HANDLE_VALUE,
                         bool widecalls = true, const WCHAR* exactownpath = NULL);
