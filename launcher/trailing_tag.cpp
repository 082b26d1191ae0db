#include "launcher/trailing_tag.h"

#include "platform/heap.h"
#include "platform/platform.h"

#define WINDOW_GRANULE 0x10000u

static uint16_t UnitAt(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

TagSearch SearchTrailingTag(const uint8_t* window, uint32_t size) {
  TagSearch result = {TagAbsent, 0, 0};
  if (size >= 2 && window[size - 2] == 0x7C && window[size - 1] == 0x3E) {
    for (uint32_t s = size - 2; s > 2; --s) {
      if (window[s - 2] != 0x3C || window[s - 1] != 0x7C) continue;
      bool mark = s > 5 && window[s - 5] == 0xEF && window[s - 4] == 0xBB && window[s - 3] == 0xBF;
      result.form = mark ? TagUtf8 : TagPlain;
      result.start = s;
      result.length = (size - 2) - s;
      return result;
    }
    return result;
  }
  if (size >= 4 && UnitAt(window + size - 4) == 0x007C && UnitAt(window + size - 2) == 0x003E) {
    for (uint32_t s = size - 4; s > 4; s -= 2) {
      if (UnitAt(window + s - 4) != 0x003C || UnitAt(window + s - 2) != 0x007C) continue;
      result.form = TagUtf16;
      result.start = s;
      result.length = ((size - 4) - s) / 2;
      return result;
    }
  }
  return result;
}

TagWindow TrailingTagWindow(uint32_t sizelow, uint32_t sizehigh) {
  TagWindow window;
  window.offsetlow = (sizelow - WINDOW_GRANULE) & 0xFFFF0000u;
  window.offsethigh = sizehigh - (sizelow < WINDOW_GRANULE ? 1u : 0u);
  window.length = sizelow - window.offsetlow;
  return window;
}

// n UTF-16 units to a new ANSI string; characters the code page lacks become
// its default character, and a failed conversion leaves the string empty.
static char* AnsiFromUnits(const WCHAR* units, uint32_t count) {
  char* text = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, 2 * count + 1));
  if (text == NULL) return NULL;
  int written = Sys().WideCharToMultiByte(CP_ACP, 0, units, static_cast<int>(count), text,
                                          static_cast<int>(2 * count), NULL, NULL);
  text[written > 0 ? written : 0] = 0;
  return text;
}

static char* TextOfTag(const uint8_t* window, const TagSearch* tag) {
  const uint8_t* bytes = window + tag->start;
  if (tag->form == TagPlain) {
    // Passed on byte for byte, without conversion.
    char* text = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, tag->length + 1));
    if (text == NULL) return NULL;
    CopyBytes(text, bytes, tag->length);
    text[tag->length] = 0;
    return text;
  }
  if (tag->form == TagUtf8) {
    WCHAR* units = static_cast<WCHAR*>(AllocZeroed(2 * tag->length + 2));
    if (units == NULL) return NULL;
    int count = Sys().MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes),
                                          static_cast<int>(tag->length), units, static_cast<int>(tag->length));
    if (count < 0) count = 0;
    units[count] = 0;
    char* text = AnsiFromUnits(units, static_cast<uint32_t>(count));
    FreeBlock(units);
    return text;
  }
  // Form 3. The units lie at an odd address when the file's size is odd;
  // they are then copied to an aligned block first.
  if ((reinterpret_cast<uintptr_t>(bytes) & 1u) == 0)
    return AnsiFromUnits(reinterpret_cast<const WCHAR*>(bytes), tag->length);
  WCHAR* units = static_cast<WCHAR*>(AllocZeroed(2 * tag->length + 2));
  if (units == NULL) return NULL;
  CopyBytes(units, bytes, 2 * tag->length);
  char* text = AnsiFromUnits(units, tag->length);
  FreeBlock(units);
  return text;
}

char* ReadTrailingTag(const char* path, const WCHAR* widepath) {
  HANDLE file = widepath != NULL ? Sys().CreateFileW(widepath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                                     OPEN_EXISTING, 0, NULL)
                                 : Sys().CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                                     OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return NULL;
  DWORD sizehigh = 0;
  DWORD sizelow = Sys().GetFileSize(file, &sizehigh);
  // All ones is also the low part of a valid size; only the error tells them
  // apart. (A file of such a size with a stale error is merely read as tagless.)
  if (sizelow == INVALID_FILE_SIZE && Sys().GetLastError() != ERROR_SUCCESS) {
    Sys().CloseHandle(file);
    return NULL;
  }
  TagWindow window = TrailingTagWindow(sizelow, sizehigh);

  HANDLE mapping = Sys().CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
  Sys().CloseHandle(file);
  if (mapping == NULL) return NULL;
  const uint8_t* view = static_cast<const uint8_t*>(
      Sys().MapViewOfFile(mapping, FILE_MAP_READ, window.offsethigh, window.offsetlow, window.length));
  Sys().CloseHandle(mapping);
  if (view == NULL) return NULL;

  TagSearch tag = SearchTrailingTag(view, window.length);
  char* text = tag.form == TagAbsent ? NULL : TextOfTag(view, &tag);
  Sys().UnmapViewOfFile(view);
  return text;
}
