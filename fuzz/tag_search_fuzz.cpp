// The trailing tag search over arbitrary windows, checked against a plain
// forward statement of the tag rules: the closing marker at the very end,
// the nearest opening marker in front of it and not at the window's first
// byte, the mark of form 2 under the same condition, UTF-16 units counted
// from the end.
#include <stddef.h>
#include <stdint.h>
#include <vector>

#include "fuzz_support.h"
#include "launcher/trailing_tag.h"

namespace {

bool Bytes2(const uint8_t* w, size_t at, uint8_t a, uint8_t b) { return w[at] == a && w[at + 1] == b; }

TagSearch Expected(const uint8_t* w, size_t size) {
  TagSearch tag = {TagAbsent, 0, 0};
  if (size >= 2 && Bytes2(w, size - 2, 0x7C, 0x3E)) {
    // The text starts after the last "<|" that begins at 1 or later and
    // ends no later than the closing marker.
    for (size_t open = 1; open + 2 <= size - 2; ++open) {
      if (!Bytes2(w, open, 0x3C, 0x7C)) continue;
      size_t start = open + 2;
      bool mark = open >= 4 && w[open - 3] == 0xEF && w[open - 2] == 0xBB && w[open - 1] == 0xBF;
      tag.form = mark ? TagUtf8 : TagPlain;
      tag.start = static_cast<uint32_t>(start);
      tag.length = static_cast<uint32_t>(size - 2 - start);
    }
    return tag;
  }
  if (size >= 4 && Bytes2(w, size - 4, 0x7C, 0x00) && Bytes2(w, size - 2, 0x3E, 0x00)) {
    for (size_t open = size % 2; open + 4 <= size - 4; open += 2) {
      if (open == 0 || !Bytes2(w, open, 0x3C, 0x00) || !Bytes2(w, open + 2, 0x7C, 0x00)) continue;
      tag.form = TagUtf16;
      tag.start = static_cast<uint32_t>(open + 4);
      tag.length = static_cast<uint32_t>((size - 4 - (open + 4)) / 2);
    }
  }
  return tag;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x20000) return 0;  // a window is never longer
  // A block of the window's own size, so that any read beyond it is caught.
  std::vector<uint8_t> window(data, data + size);
  TagSearch found = SearchTrailingTag(window.data(), static_cast<uint32_t>(size));
  TagSearch expected = Expected(window.data(), size);
  FuzzCheck(found.form == expected.form, "form");
  if (found.form != TagAbsent) {
    FuzzCheck(found.start == expected.start, "start");
    FuzzCheck(found.length == expected.length, "length");
  }
  return 0;
}
