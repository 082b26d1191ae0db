// `pxq run`: the platform backend that runs the loader's code on this host,
// with a loader file chosen at start playing the running module (its
// image, its path, its command line).
#pragma once

#include "platform/platform.h"

// The backend: POSIX's emulation of Windows, or Windows itself.
const Platform* HostPlatform();
// Makes `path` the running module. 0 or a Windows error.
DWORD HostSetModule(const char* path);
// The arguments that follow the module on its command line, each quoted so
// that CommandLineToArgvW reads them back unchanged.
void HostSetArguments(int count, const char* const* arguments);
