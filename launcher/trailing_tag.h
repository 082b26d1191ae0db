// The text tag "<|...|>" at the very end of the loader's file.
#pragma once

#include <stdint.h>

#include "platform/types.h"

enum TagForm : uint32_t {
  TagAbsent = 0,
  TagPlain = 1,  // 8-bit text in the ANSI code page
  TagUtf8 = 2,   // UTF-8 text, the mark EF BB BF in front of the opening marker
  TagUtf16 = 3,  // UTF-16 little-endian text and markers
};

struct TagSearch {
  uint32_t form;    // a TagForm
  uint32_t start;   // offset of the text in the window
  uint32_t length;  // bytes (forms 1 and 2) or UTF-16 units (form 3)
};

// Searches a window that ends at the end of the file. The closing marker
// must be the window's last bytes; the opening marker that counts is the
// nearest one in front of it and may not begin at the window's first byte
// (nor may the mark of form 2). Form 3 is tried only when the window does
// not end in the 8-bit closing marker.
TagSearch SearchTrailingTag(const uint8_t* window, uint32_t size);

// The window of a file of `sizelow` + 2^32 * `sizehigh` bytes: its offset,
// always a multiple of 65,536, and its length, 65,536 + size mod 65,536. For
// a file under 65,536 bytes the offset comes out negative (high part all
// ones) and no view can be made.
struct TagWindow {
  uint32_t offsetlow;
  uint32_t offsethigh;
  uint32_t length;
};
TagWindow TrailingTagWindow(uint32_t sizelow, uint32_t sizehigh);

// The tag's text in the ANSI code page, a new GlobalAlloc string (GMEM_FIXED)
// that the caller releases with GlobalFree; null when the file has no tag
// or cannot be read. A failed code page conversion gives the empty string.
// With `widepath` given, the file is opened by it and `path` is not used.
char* ReadTrailingTag(const char* path, const WCHAR* widepath = 0);
