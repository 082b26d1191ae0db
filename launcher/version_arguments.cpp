#include "launcher/version_arguments.h"

#include "platform/heap.h"
#include "package/records.h"
#include "platform/platform.h"

// The query path of the first translation's strings, formed once for both
// values: \StringFileInfo\, the language and code page in hexadecimal, \.
#define STRINGS_PREFIX_LENGTH 25

static bool FormStringsPrefix(const void* block, char* query) {
  void* translation = NULL;
  UINT translationlength = 0;
  if (!Sys().VerQueryValueA(block, "\\VarFileInfo\\Translation", &translation, &translationlength)) return false;
  if (translationlength < 4 || translation == NULL) return false;

  // The first entry only: language identifier, then code page.
  const uint8_t* entry = static_cast<const uint8_t*>(translation);
  // A failed format leaves no path to ask.
  return FormatText(query, "\\StringFileInfo\\%04x%04x\\", static_cast<unsigned>(ReadLe16(entry)),
                    static_cast<unsigned>(ReadLe16(entry + 2))) == STRINGS_PREFIX_LENGTH;
}

// Queries the value `key` (at most 15 characters) under the prefix in
// `query`; false when it is missing. The value lies inside the block, so a
// length (which counts the terminator) beyond the block's size is damage,
// not text.
static bool QueryString(const void* block, DWORD blocksize, char* query, const char* key, const char** value,
                        UINT* length) {
  char* at = query + STRINGS_PREFIX_LENGTH;
  do *at++ = *key; while (*key++ != 0);
  void* found = NULL;
  UINT foundlength = 0;
  if (!Sys().VerQueryValueA(block, query, &found, &foundlength)) return false;
  if (found == NULL || foundlength == 0 || foundlength > blocksize) return false;
  *value = static_cast<const char*>(found);
  *length = foundlength;
  return true;
}

// Copies the value into a new string; null when it is absent.
static char* CopyArguments(const void* block, DWORD blocksize, char* query) {
  const char* value = NULL;
  UINT length = 0;
  if (!QueryString(block, blocksize, query, "Arguments", &value, &length)) return NULL;

  char* text = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, length + 1));
  if (text == NULL) return NULL;
  // A failed copy leaves the new block's bytes, which are not the value.
  if (Sys().lstrcpynA(text, value, static_cast<int>(length)) == NULL) {
    Sys().GlobalFree(text);
    return NULL;
  }
  text[length] = 0;
  return text;
}

// Whether the value `key` is `word` (lower case), letter case aside, and its
// terminator, within the value's length (which counts the terminator).
static bool ValueIs(const void* block, DWORD blocksize, char* query, const char* key, const char* word) {
  const char* value = NULL;
  UINT length = 0;
  if (!QueryString(block, blocksize, query, key, &value, &length)) return false;
  for (UINT i = 0;; ++i) {
    if (i >= length) return false;
    if (word[i] == 0) return value[i] == 0;
    if ((value[i] | 0x20) != word[i]) return false;
  }
}

char* ReadVersionArguments(const char* path, LoaderPathMode* mode, bool* silent, const WCHAR* widepath) {
  if (mode != NULL) *mode = LoaderPathLast;
  if (silent != NULL) *silent = false;
  DWORD handle = 0;
  DWORD size = widepath != NULL ? Sys().GetFileVersionInfoSizeW(widepath, &handle)
                                : Sys().GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return NULL;
  void* block = AllocZeroed(size);
  if (block == NULL) return NULL;
  char* text = NULL;
  char query[64];
  // The block is the same whichever call read it; VerQueryValueA converts
  // its texts to the ANSI code page.
  if ((widepath != NULL ? Sys().GetFileVersionInfoW(widepath, handle, size, block)
                        : Sys().GetFileVersionInfoA(path, handle, size, block)) &&
      FormStringsPrefix(block, query)) {
    text = CopyArguments(block, size, query);
    if (mode != NULL && ValueIs(block, size, query, "LoaderPath", "environment")) *mode = LoaderPathEnvironment;
    if (silent != NULL) *silent = ValueIs(block, size, query, "Errors", "silent");
  }
  // The values were copied out of the block before the block goes.
  FreeBlock(block);
  return text;
}
