// `pxq run` on POSIX: the platform layer's POSIX backend.
#include "tools/host/loader_module.h"

#include "platform/posix.h"

const Platform* HostPlatform() { return PosixPlatform(); }

DWORD HostSetModule(const char* path) { return PosixSetModule(path); }

void HostSetArguments(int count, const char* const* arguments) { PosixSetArguments(count, arguments); }
