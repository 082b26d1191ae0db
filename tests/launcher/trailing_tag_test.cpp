#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/trailing_tag.h"
#include "launcher_support.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

using namespace std::string_literals;

namespace {

const uint32_t KiB64 = 0x10000;

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// A file of `size` bytes: filler, then `tail` as its last bytes.
std::string FileEndingIn(const ScratchDir& dir, uint32_t size, const std::string& tail) {
  static int count = 0;
  std::string path = dir.File("loader" + std::to_string(++count) + ".exe");
  std::string bytes(size - tail.size(), 'z');
  WriteFileText(path, bytes + tail);
  return path;
}

// The tag of a file, "<absent>" for none; checks that nothing is left open.
std::string Tag(const std::string& path) {
  char* text = ReadTrailingTag(path.c_str());
  std::string result = text != nullptr ? std::string(text) : "<absent>";
  if (text != nullptr) Sys().GlobalFree(text);
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  return result;
}

}  // namespace

TEST(ReadTrailingTag, FormsAndTexts) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* name;
    std::string tail;
    std::string expected;
  } cases[] = {
      {"plain", "<|/lang=de /S|>", "/lang=de /S"},
      {"plain bytes pass unconverted", "<|\x80\xE9\xFF|>", "\x80\xE9\xFF"},
      {"a zero byte ends the text", "<|ab\0cd|>"s, "ab"},
      {"plain empty", "<||>", ""},
      {"UTF-8", bom + "<|caf\xC3\xA9 \xE2\x82\xAC|>", "caf\xE9 \x80"},
      {"UTF-8 lacking characters", bom + "<|a\xE4\xB8\xAD\xF0\x9F\x98\x80z|>", "a??z"},
      {"UTF-8 empty", bom + "<||>", ""},
      {"mark after the opening marker", "<|" + bom + "x|>", bom + "x"},
      {"UTF-16", Utf16("<|/S caf") + "\xE9\0"s + Utf16("|>"), "/S caf\xE9"},
      {"UTF-16 lacking characters", Utf16("<|a") + "\x2D\x4E"s + Utf16("z|>"), "a?z"},
      {"UTF-16 empty", Utf16("<||>"), ""},
      {"UTF-16 then one byte", Utf16("<|a|>") + "x", "<absent>"},
      {"the nearest opening marker", "<|a<|b|>", "b"},
      {"the closing marker inside", "<|a|>b|>", "a|>b"},
      {"no opening marker", "a|>", "<absent>"},
      {"no closing marker", "<|a|", "<absent>"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    // An even and an odd size: UTF-16 text at an odd address too.
    for (uint32_t size : {KiB64 + 100, KiB64 + 101}) {
      TestingScope scope;
      EXPECT_EQ(c.expected, Tag(FileEndingIn(dir, size, c.tail))) << c.name << ", size " << size;
    }
  }
}

TEST(ReadTrailingTag, TheSearchWindow) {
  ScratchDir dir;
  struct Case {
    const char* name;
    uint32_t size;
    std::string tail;  // its first byte lies at size - tail.size()
    std::string expected;
    uint32_t viewlength;
  } cases[] = {
      {"under 64 KiB", KiB64 - 1, "<|a|>", "<absent>", 0x1FFFF},
      {"exactly 64 KiB", KiB64, "<|a|>", "a", KiB64},
      {"a multiple of 64 KiB: 64 KiB window", 2 * KiB64, "<|" + std::string(KiB64 - 5, 'b') + "|>",
       std::string(KiB64 - 5, 'b'), KiB64},
      // The opening marker at the window's first byte is not found...
      {"marker at the window's start", 2 * KiB64, "<|" + std::string(KiB64 - 4, 'b') + "|>", "<absent>", KiB64},
      {"marker at the file's start", KiB64 + 7, "<|" + std::string(KiB64 + 3, 'b') + "|>", "<absent>", KiB64 + 7},
      // ...nor one in front of the window, whatever the text in between.
      {"marker before the window", 2 * KiB64 + 3, "<|" + std::string(KiB64 + 2, 'b') + "|>", "<absent>", KiB64 + 3},
      {"marker one byte into the window", 2 * KiB64 + 3, "<|" + std::string(KiB64 - 2, 'b') + "|>",
       std::string(KiB64 - 2, 'b'), KiB64 + 3},
      {"mark at the window's start", 3 * KiB64, "\xEF\xBB\xBF<|" + std::string(KiB64 - 7, 'b') + "\xC3\xA9|>",
       std::string(KiB64 - 7, 'b') + "\xC3\xA9", KiB64},
      {"UTF-16 marker at the window's start", 2 * KiB64, Utf16("<|") + std::string(KiB64 - 8, 'b') + Utf16("|>"),
       "<absent>", KiB64},
      {"the longest window", 2 * KiB64 - 1, "<|" + std::string(2 * KiB64 - 6, 'b') + "|>",
       std::string(2 * KiB64 - 6, 'b'), 2 * KiB64 - 1},
  };
  for (const Case& c : cases) {
    TestingScope scope;
    ASSERT_LE(c.tail.size(), c.size) << c.name;
    EXPECT_EQ(c.expected, Tag(FileEndingIn(dir, c.size, c.tail))) << c.name;
    EXPECT_EQ(std::vector<std::string>{std::to_string(c.viewlength)}, CallsOf(Op_MapViewOfFile)) << c.name;
  }
}

TEST(ReadTrailingTag, FailuresGiveAbsentAndConversionFailuresTheEmptyText) {
  ScratchDir dir;
  const std::string plain = FileEndingIn(dir, KiB64 + 10, "<|abc|>");
  const std::string utf8 = FileEndingIn(dir, KiB64 + 10, "\xEF\xBB\xBF<|abc|>");
  const std::string utf16 = FileEndingIn(dir, KiB64 + 10, Utf16("<|abc|>"));
  const std::string empty = dir.File("empty.exe");
  WriteFileText(empty, "");
  struct Case {
    const char* name;
    std::string path;
    TestingFault fault;
    std::string expected;
  } cases[] = {
      {"no file", dir.File("missing.exe"), {PlatformOpCount, 0, 0}, "<absent>"},
      {"an empty file", empty, {PlatformOpCount, 0, 0}, "<absent>"},
      {"the file cannot be opened", plain, {Op_CreateFileA, 1, ERROR_SHARING_VIOLATION}, "<absent>"},
      {"no size", plain, {Op_GetFileSize, 1, ERROR_INVALID_HANDLE}, "<absent>"},
      {"no mapping", plain, {Op_CreateFileMappingA, 1, ERROR_NOT_ENOUGH_MEMORY}, "<absent>"},
      {"no view", plain, {Op_MapViewOfFile, 1, ERROR_NOT_ENOUGH_MEMORY}, "<absent>"},
      {"no memory for the text", plain, {Op_GlobalAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}, "<absent>"},
      {"no memory for the units", utf8, {Op_HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}, "<absent>"},
      {"UTF-8 not convertible", utf8, {Op_MultiByteToWideChar, 1, ERROR_NO_UNICODE_TRANSLATION}, ""},
      {"UTF-8 text too long for the code page", utf8, {Op_WideCharToMultiByte, 1, ERROR_INSUFFICIENT_BUFFER}, ""},
      {"UTF-16 text too long for the code page", utf16, {Op_WideCharToMultiByte, 1, ERROR_INSUFFICIENT_BUFFER}, ""},
  };
  for (const Case& c : cases) {
    TestingScope scope;
    if (c.fault.op != PlatformOpCount) Testing().faults = {c.fault};
    EXPECT_EQ(c.expected, Tag(c.path)) << c.name;
    EXPECT_EQ(c.fault.op != PlatformOpCount ? 1u : 0u, Testing().injected) << c.name;
    // A failed size stops before any mapping.
    if (c.fault.op == Op_GetFileSize) {
      EXPECT_EQ(0u, TestingCount(Op_CreateFileMappingA)) << c.name;
    }
  }
}
