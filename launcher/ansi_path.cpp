#include "launcher/ansi_path.h"

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
  DWORD length = Sys().GetShortPathNameW(widepath, shortpath, WIDE_PATH_SIZE);
  if (length == 0) return Sys().GetLastError();
  if (length >= WIDE_PATH_SIZE) return ERROR_INSUFFICIENT_BUFFER;
  if (Sys().WideCharToMultiByte(CP_ACP, 0, shortpath, -1, path, static_cast<int>(size), NULL, NULL) == 0)
    return Sys().GetLastError();
  // Where the volume keeps no short names, the short form is the long one.
  WCHAR readback[WIDE_PATH_SIZE];
  if (!ReadsBackAs(path, shortpath, readback)) return ERROR_NO_UNICODE_TRANSLATION;
  return 0;
}
