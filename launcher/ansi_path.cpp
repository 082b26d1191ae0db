#include "launcher/ansi_path.h"

#include "platform/heap.h"
#include "platform/platform.h"

// Whether `path` converts back to `widepath` exactly: then the system, which
// converts the ANSI path in the same way, finds the same file through it.
// A failed conversion counts as lossy. `scratch` holds WIDE_PATH_SIZE units.
static bool ReadsBackAs(const char* path, const WCHAR* widepath, WCHAR* scratch) {
  if (Sys().MultiByteToWideChar(CP_ACP, 0, path, -1, scratch, WIDE_PATH_SIZE) == 0) return false;
  for (uint32_t i = 0;; ++i) {
    if (scratch[i] != widepath[i]) return false;
    if (scratch[i] == 0) return true;
  }
}

uint32_t UseExactAnsiPath(char* path, uint32_t size, const WCHAR* widepath) {
  WCHAR shortpath[WIDE_PATH_SIZE];
  if (ReadsBackAs(path, widepath, shortpath)) return 0;
  // Converted apart first: a conversion that fails leaves its buffer cut,
  // without a terminator.
  char converted[WIDE_PATH_SIZE];
  uint32_t error = ERROR_NO_UNICODE_TRANSLATION;
  DWORD length = Sys().GetShortPathNameW(widepath, shortpath, WIDE_PATH_SIZE);
  if (length == 0) {
    error = Sys().GetLastError();
  } else if (length >= WIDE_PATH_SIZE) {
    error = ERROR_INSUFFICIENT_BUFFER;
  } else if (Sys().WideCharToMultiByte(CP_ACP, 0, shortpath, -1, converted, static_cast<int>(size), NULL, NULL) ==
             0) {
    error = Sys().GetLastError();
  } else {
    // Where the volume keeps no short names, the short form is the long one.
    WCHAR readback[WIDE_PATH_SIZE];
    if (ReadsBackAs(converted, shortpath, readback)) {
      CopyBytes(path, converted, size);
      return 0;
    }
  }
  if (Sys().WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, widepath, -1, converted, static_cast<int>(size), "_",
                                NULL) != 0)
    CopyBytes(path, converted, size);
  return error;
}
