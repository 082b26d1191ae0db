// The win32 backend of the platform layer: the real system calls, for the
// Windows stub.
#pragma once

#include "platform/platform.h"

// Fills the backend's record on the first call and returns it, or returns
// null when user32.dll cannot be loaded from the system directory. The stub
// has no C runtime start-up to run constructors, and the addresses of
// imported functions are not constants, so the record is filled here at run
// time. The first call also restricts the process's DLL search to the
// system directory where the system supports that.
const Platform* Win32Platform();
