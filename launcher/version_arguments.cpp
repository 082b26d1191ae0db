#include "launcher/version_arguments.h"

#include "platform/heap.h"
#include "package/records.h"
#include "platform/platform.h"

// Queries the value and copies it into a new string; null when it is absent.
static char* CopyArguments(const void* block, DWORD blocksize) {
  void* translation = NULL;
  UINT translationlength = 0;
  if (!Sys().VerQueryValueA(block, "\\VarFileInfo\\Translation", &translation, &translationlength)) return NULL;
  if (translationlength < 4 || translation == NULL) return NULL;

  // The first entry only: language identifier, then code page.
  const uint8_t* entry = static_cast<const uint8_t*>(translation);
  char query[64];
  // The path always has 34 characters; a failed format leaves no path to ask.
  if (FormatText(query, "\\StringFileInfo\\%04x%04x\\Arguments", static_cast<unsigned>(ReadLe16(entry)),
                 static_cast<unsigned>(ReadLe16(entry + 2))) != 34)
    return NULL;

  void* value = NULL;
  UINT length = 0;
  if (!Sys().VerQueryValueA(block, query, &value, &length)) return NULL;
  // The length counts the terminator. The value lies inside the block, so a
  // length beyond the block's size is damage, not text.
  if (value == NULL || length == 0 || length > blocksize) return NULL;

  char* text = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, length + 1));
  if (text == NULL) return NULL;
  // A failed copy leaves the new block's bytes, which are not the value.
  if (Sys().lstrcpynA(text, static_cast<const char*>(value), static_cast<int>(length)) == NULL) {
    Sys().GlobalFree(text);
    return NULL;
  }
  text[length] = 0;
  return text;
}

char* ReadVersionArguments(const char* path) {
  DWORD handle = 0;
  DWORD size = Sys().GetFileVersionInfoSizeA(path, &handle);
  if (size == 0) return NULL;
  void* block = AllocZeroed(size);
  if (block == NULL) return NULL;
  char* text = NULL;
  if (Sys().GetFileVersionInfoA(path, handle, size, block)) text = CopyArguments(block, size);
  // The value was copied out of the block before the block goes.
  FreeBlock(block);
  return text;
}
