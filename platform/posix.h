// The host backend: the Windows operations over POSIX, and an emulation of
// the running process in which a loader file chosen at start plays the part
// of the running module (its image, its path, its command line).
#pragma once

#include "platform/platform.h"

const Platform* PosixPlatform();

// Makes `path` the running module: GetModuleHandleA(NULL) gives its first 64
// bytes, GetModuleFileNameA its absolute path. Returns 0 or a Windows error.
DWORD PosixSetModule(const char* path);

// The arguments that follow the module on the emulated command line.
// GetCommandLineA gives the module's path and these, each quoted so that
// CommandLineToArgvW reads them back unchanged.
void PosixSetArguments(int count, const char* const* arguments);

// Maps the current errno value to the Windows system error number.
DWORD WindowsErrorFromErrno(int error);
