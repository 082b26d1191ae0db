// The trailing tag's bytes in its three forms, made from and read back into
// UTF-8 text for the host tools.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "launcher/trailing_tag.h"

// The longest tag (markers and mark included) whose opening marker always
// lies inside the loader's search window, which is at least 65,536 bytes
// long and whose first byte does not count.
#define TAG_MAX_BYTES 65535u

// The bytes of a tag: "<|" TEXT "|>" (TagPlain: TEXT as given; TagUtf8: the
// mark EF BB BF in front, TEXT UTF-8; TagUtf16: TEXT converted to UTF-16LE,
// markers too). "" on success, else why the text cannot be such a tag (not
// UTF-8 where it must be, holds the opening marker, which would cut it).
std::string EncodeTag(const std::string& text, uint32_t form, std::vector<uint8_t>* bytes);

// A tag found at the end of `window` (the last bytes of a file): its form,
// its text as UTF-8 for display (form 1 bytes as they stand where they are
// UTF-8, else with the bytes from 0x80 up as \xNN escapes), and the
// offset in the window where its bytes begin (the mark of form 2 included).
struct FoundTag {
  uint32_t form = TagAbsent;
  std::string text;
  size_t begin = 0;
};
FoundTag FindTag(const uint8_t* window, size_t size);

const char* TagFormName(uint32_t form);
// True when all bytes are ASCII.
bool IsAscii(const std::string& text);
// Decodes UTF-8 into UTF-16 units; false when it is not valid UTF-8.
bool Utf16FromUtf8(const std::string& text, std::vector<uint16_t>* units);
// Encodes UTF-16 units as UTF-8 (an unpaired surrogate becomes U+FFFD).
std::string Utf8FromUtf16(const uint16_t* units, size_t count);
