// The loader's own ReadTrailingTag over real files: the input is the end of
// a file that is filled in front to at least 64 KiB (its first byte picks
// how much, so that sizes of every parity and remainder occur). What must
// hold: nothing is left open; a tag is found exactly when the search over
// the file's window finds one; a plain tag comes back byte for byte up to
// its first zero byte; a converted one never longer than two bytes a unit,
// and an ASCII one unchanged.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "launcher/trailing_tag.h"
#include "platform/testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 0x20000) return 0;
  static const std::string path = FuzzScratchFile("setup.exe");
  // Filler of '<' and '|' bytes now and then, so that markers in front of
  // the input are met too.
  std::vector<uint8_t> file(0x10000 + data[0] * 257u, 'z');
  for (size_t i = 0; i < file.size(); i += 4093) file[i] = (i & 1) != 0 ? '<' : '|';
  file.insert(file.end(), data + 1, data + size);
  FuzzWriteFile(path, file.data(), file.size());

  TestingScope scope;
  char* text = ReadTrailingTag(path.c_str());
  const uint32_t windowsize = 0x10000u + static_cast<uint32_t>(file.size() % 0x10000u);
  const uint8_t* window = file.data() + file.size() - windowsize;
  TagSearch tag = SearchTrailingTag(window, windowsize);
  FuzzCheck((text != nullptr) == (tag.form != TagAbsent), "a tag read exactly when the window holds one");
  if (text != nullptr) {
    const size_t length = strlen(text);
    const uint8_t* bytes = window + tag.start;
    if (tag.form == TagPlain) {
      const size_t expected = strnlen(reinterpret_cast<const char*>(bytes), tag.length);
      FuzzCheck(length == expected && memcmp(text, bytes, length) == 0, "a plain tag byte for byte");
    } else {
      // A UTF-8 text of b bytes has at most b units.
      FuzzCheck(length <= 2 * static_cast<size_t>(tag.length), "at most two bytes a unit");
      const size_t step = tag.form == TagUtf16 ? 2 : 1;
      bool ascii = true;
      std::string plain;
      for (size_t i = 0; i < tag.length; ++i) {
        uint8_t c = bytes[i * step];
        if (c == 0 || c >= 0x80 || (step == 2 && bytes[i * 2 + 1] != 0)) ascii = false;
        plain.push_back(static_cast<char>(c));
      }
      if (ascii) FuzzCheck(plain == text, "an ASCII tag unchanged");
    }
    Sys().GlobalFree(text);
  }
  FuzzCheck(TestingNothingOpen(), "nothing left open");
  return 0;
}
