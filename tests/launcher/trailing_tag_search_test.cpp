#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/trailing_tag.h"

using namespace std::string_literals;

namespace {

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

struct Found {
  uint32_t form;
  std::string text;  // the text's bytes as they lie in the window
};

Found Search(const std::string& text) {
  // A block of its own, so that AddressSanitizer sees any read outside it.
  std::vector<uint8_t> window(text.begin(), text.end());
  TagSearch tag = SearchTrailingTag(window.data(), static_cast<uint32_t>(window.size()));
  if (tag.form == TagAbsent) return {TagAbsent, ""};
  uint32_t bytes = tag.form == TagUtf16 ? 2 * tag.length : tag.length;
  EXPECT_LE(uint64_t(tag.start) + bytes, window.size());
  return {tag.form, std::string(window.begin() + tag.start, window.begin() + tag.start + bytes)};
}

}  // namespace

TEST(SearchTrailingTag, FormsMarkersAndWindowStart) {
  const std::string pad = "0123456789";
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string window;
    uint32_t form;
    std::string text;
  } cases[] = {
      {pad + "<|hello|>", TagPlain, "hello"},
      {pad + "<||>", TagPlain, ""},
      {pad + bom + "<|h\xC3\xA9|>", TagUtf8, "h\xC3\xA9"},
      {pad + bom + "<||>", TagUtf8, ""},
      {pad + "<|" + bom + "x|>", TagPlain, bom + "x"},  // a mark after the opening marker is text
      {pad + "<|a<|b|>", TagPlain, "b"},                 // the nearest opening marker counts
      {pad + "<|a|>b|>", TagPlain, "a|>b"},              // the text may hold the closing marker
      {pad + "<|a\x80\xFF\0b|>"s, TagPlain, "a\x80\xFF\0b"s},
      {pad + "hello|>", TagAbsent, ""},
      {pad + "<|hello|> ", TagAbsent, ""},  // anything after the closing marker
      {pad + "<|hello|", TagAbsent, ""},
      {"|>", TagAbsent, ""},
      {">", TagAbsent, ""},
      {"", TagAbsent, ""},
      // The opening marker may not begin at the window's first byte, nor
      // may the mark, which then leaves the tag to be read as form 1.
      {"<|a|>", TagAbsent, ""},
      {"x<|a|>", TagPlain, "a"},
      {"<||>", TagAbsent, ""},
      {bom + "<|a|>", TagPlain, "a"},
      {"x" + bom + "<|a|>", TagUtf8, "a"},
      // Form 3.
      {pad + Utf16("<|hi|>"), TagUtf16, Utf16("hi")},
      {pad + Utf16("<||>"), TagUtf16, ""},
      {pad + Utf16("<|a<|b|>"), TagUtf16, Utf16("b")},
      {pad + Utf16("<|a|>b|>"), TagUtf16, Utf16("a|>b")},
      {pad + Utf16("<|\xE9\x01|>"), TagUtf16, Utf16("\xE9\x01")},
      {pad + Utf16("<|hi|>") + "x", TagAbsent, ""},  // followed by a single byte
      {pad + Utf16("hi|>"), TagAbsent, ""},
      {Utf16("<|a|>"), TagAbsent, ""},
      {"xx" + Utf16("<|a|>"), TagUtf16, Utf16("a")},
      // Units are counted from the end: a marker at an odd distance is not one.
      {pad + Utf16("<|") + "x" + Utf16("a|>"), TagAbsent, ""},
      {pad + Utf16("<|") + Utf16("a|>"), TagUtf16, Utf16("a")},
      {pad + Utf16("<|b") + "x" + Utf16("<|") + Utf16("a|>"), TagUtf16, Utf16("a")},
      // An odd-distance marker is passed over for the even-distance one before it.
      {pad + Utf16("<|b") + "x" + "<\0|\0"s + "y" + Utf16("a|>"), TagUtf16, "b\0x<\0|\0ya\0"s},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    Found found = Search(cases[i].window);
    EXPECT_EQ(cases[i].form, found.form) << "case " << i;
    EXPECT_EQ(cases[i].text, found.text) << "case " << i;
  }
}

TEST(TrailingTagWindow, EndsAtTheEndAndStartsOnA64KiBBoundary) {
  struct Case {
    uint32_t low, high;
    TagWindow expected;
  } cases[] = {
      {0x10000, 0, {0x00000, 0, 0x10000}},            // exactly 64 KiB
      {0x20000, 0, {0x10000, 0, 0x10000}},            // a multiple: the window is 64 KiB
      {0x1FFFF, 0, {0x00000, 0, 0x1FFFF}},            // the longest window
      {0x12345, 0, {0x00000, 0, 0x12345}},
      {0x32345, 0, {0x20000, 0, 0x12345}},
      {0xFFFFFFFF, 0, {0xFFFE0000, 0, 0x1FFFF}},
      {0x00005, 1, {0xFFFF0000, 0, 0x10005}},         // the borrow from the high part
      {0x10005, 1, {0x00000, 1, 0x10005}},
      {0x0FFFF, 0, {0xFFFF0000, 0xFFFFFFFF, 0x1FFFF}},  // under 64 KiB: a negative offset
      {0, 0, {0xFFFF0000, 0xFFFFFFFF, 0x10000}},
  };
  for (const Case& c : cases) {
    TagWindow window = TrailingTagWindow(c.low, c.high);
    EXPECT_EQ(c.expected.offsetlow, window.offsetlow) << std::hex << c.high << ":" << c.low;
    EXPECT_EQ(c.expected.offsethigh, window.offsethigh) << std::hex << c.high << ":" << c.low;
    EXPECT_EQ(c.expected.length, window.length) << std::hex << c.high << ":" << c.low;
    if (c.high != 0 || c.low >= 0x10000) {
      uint64_t size = (uint64_t(c.high) << 32) | c.low;
      uint64_t offset = (uint64_t(window.offsethigh) << 32) | window.offsetlow;
      EXPECT_EQ(size, offset + window.length);
      EXPECT_EQ(0u, offset % 0x10000);
    }
  }
}
