// Which installer build suits the running system: the classification of the
// platform and the choice among the builds that the package announces.
#pragma once

#include <stdint.h>

enum PlatformClass : uint32_t {
  Generic = 0,  // any system that is neither of the two below
  NtX86 = 1,    // Windows NT family on an x86 processor
  NtX64 = 2,    // Windows NT family on an x64 processor
};

// The value SelectInstallerEntry gives when no announced build suits.
#define NO_INSTALLER_ID 0ull

// From GetVersionExA's dwPlatformId and the system record's
// wProcessorArchitecture.
PlatformClass ClassifyPlatform(uint32_t platformid, uint16_t architecture);

// The most specific build that the class can run and whose PlatformFlags bit
// is set, down to the build for any Windows; NO_INSTALLER_ID when none is.
// Bits 3 to 7 of the flags are never looked at.
uint64_t SelectInstallerEntry(PlatformClass platformclass, uint8_t platformflags);
