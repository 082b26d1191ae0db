#include "launcher/temporary_copy.h"

#include "platform/heap.h"
#include "platform/platform.h"

// "-XXXX.exe" and the terminator.
#define SUFFIX_SIZE 10u
#define REMOVAL_ATTEMPTS 10u
#define REMOVAL_PAUSE_MS 500u

static bool IsSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

uint16_t TempNameKey(uint32_t processid) {
  return static_cast<uint16_t>((processid >> 16) ^ (processid & 0xFFFFu));
}

uint32_t FormTemporaryPath(char* temppath, const char* ownpath, uint32_t processid) {
  uint32_t directoryend = 0;
  while (directoryend < TEMPORARY_PATH_SIZE && temppath[directoryend] != 0) ++directoryend;

  uint32_t ownend = 0;
  while (ownpath[ownend] != 0) ++ownend;
  uint32_t basestart = ownend;
  while (basestart > 0 && !IsSeparator(ownpath[basestart - 1])) --basestart;
  uint32_t baselength = ownend - basestart;

  // The suffix replaces the last extension of the composed text; a separator
  // (the directory's trailing backslash at the latest) ends the search.
  uint64_t suffixat = static_cast<uint64_t>(directoryend) + baselength;
  bool found = false;
  for (uint32_t i = baselength; i > 0 && !found; --i) {
    if (ownpath[basestart + i - 1] == '.') {
      suffixat = directoryend + i - 1;
      found = true;
    }
  }
  for (uint32_t i = directoryend; i > 0 && !found; --i) {
    char c = temppath[i - 1];
    if (c == '.') suffixat = i - 1;
    if (c == '.' || IsSeparator(c)) found = true;
  }
  // Nothing is written beyond the buffer: a path that does not fit whole is
  // not formed at all.
  if (directoryend >= TEMPORARY_PATH_SIZE || suffixat + SUFFIX_SIZE > TEMPORARY_PATH_SIZE) {
    temppath[0] = 0;
    return ERROR_FILENAME_EXCED_RANGE;
  }
  if (suffixat > directoryend)
    CopyBytes(temppath + directoryend, ownpath + basestart, static_cast<uint32_t>(suffixat - directoryend));
  // A suffix that was not written leaves the base name unterminated: no path.
  if (FormatText(temppath + suffixat, "-%04X.exe", static_cast<unsigned>(TempNameKey(processid))) != SUFFIX_SIZE - 1) {
    DWORD error = Sys().GetLastError();
    temppath[0] = 0;
    return error != 0 ? error : ERROR_INVALID_DATA;
  }
  return 0;
}

void RemoveTemporaryCopy(const char* temppath) {
  if (temppath[0] == 0) return;
  for (uint32_t attempt = 0; attempt < REMOVAL_ATTEMPTS; ++attempt) {
    // The extraction may have given the copy the read-only attribute; reset
    // before every attempt, so that one failed reset does not leave it.
    Sys().SetFileAttributesA(temppath, FILE_ATTRIBUTE_NORMAL);
    if (Sys().DeleteFileA(temppath)) return;
    DWORD error = Sys().GetLastError();
    // Still in use: the installer may not have let go of it yet, or a
    // scanner holds it open (a sharing violation).
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return;
    // A directory at the name is refused for good, not for a while.
    if (error == ERROR_ACCESS_DENIED) {
      DWORD attributes = Sys().GetFileAttributesA(temppath);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
    }
    Sys().Sleep(REMOVAL_PAUSE_MS);
  }
}
