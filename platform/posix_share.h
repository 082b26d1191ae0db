// Windows share modes between the host's opens of one file (see
// posix_share.cpp): used by CreateFileA, DeleteFileA and, for a running
// image, CreateProcessA.
#pragma once

#include <stdint.h>

#include "platform/types.h"

#define SHARE_ACCESS_READ 0x1u
#define SHARE_ACCESS_WRITE 0x2u
#define SHARE_ACCESS_DELETE 0x4u

#define PXQ_DELETE 0x00010000u
#define PXQ_GENERIC_EXECUTE 0x20000000u
#define PXQ_GENERIC_ALL 0x10000000u

// The kinds of access that a CreateFileA access mask asks for.
uint32_t ShareAccessOf(DWORD desiredaccess);

// Checks an open of `fd` that asks for `access` (SHARE_ACCESS_*) and shares
// `sharemode` (FILE_SHARE_*) against the other opens of the file, and with
// `keep` records it for as long as `fd` stays open. ERROR_SUCCESS, or
// ERROR_SHARING_VIOLATION (nothing recorded).
DWORD TakeShareLocks(int fd, uint32_t access, DWORD sharemode, bool keep);
