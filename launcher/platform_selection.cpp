#include "launcher/platform_selection.h"

#include "package/records.h"
#include "platform/types.h"

PlatformClass ClassifyPlatform(uint32_t platformid, uint16_t architecture) {
  if (platformid != VER_PLATFORM_WIN32_NT) return Generic;
  if (architecture == PROCESSOR_ARCHITECTURE_INTEL) return NtX86;
  if (architecture == PROCESSOR_ARCHITECTURE_AMD64) return NtX64;
  return Generic;
}

uint64_t SelectInstallerEntry(PlatformClass platformclass, uint8_t platformflags) {
  // Each class tries its own build first and falls back to the less specific
  // ones it can also run; an x86 system never looks at the x64 bit.
  if (platformclass == NtX64 && (platformflags & PLATFORM_FLAG_NT_X64) != 0) return NtX64InstallerId;
  if ((platformclass == NtX64 || platformclass == NtX86) && (platformflags & PLATFORM_FLAG_NT_X86) != 0)
    return NtX86InstallerId;
  if ((platformflags & PLATFORM_FLAG_GENERIC) != 0) return GenericInstallerId;
  return NO_INSTALLER_ID;
}
