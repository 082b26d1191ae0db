#include <gtest/gtest.h>

#include <functional>

#include "host_support.h"

using Units = std::vector<WCHAR>;

// Converts all of `bytes` (no terminator) with room to spare; empty on failure.
static Units ToWide(UINT codepage, const std::string& bytes, DWORD flags = 0) {
  Units out(bytes.size() * 2 + 4);
  int n = Host().MultiByteToWideChar(codepage, flags, bytes.data(), static_cast<int>(bytes.size()), out.data(),
                                     static_cast<int>(out.size()));
  out.resize(n);
  return out;
}

static std::string ToBytes(UINT codepage, const Units& units, BOOL* usedDefault = nullptr,
                           const char* defaultChar = nullptr) {
  std::string out(units.size() * 4 + 4, '\0');
  int n = Host().WideCharToMultiByte(codepage, 0, units.data(), static_cast<int>(units.size()), &out[0],
                                     static_cast<int>(out.size()), defaultChar, usedDefault);
  out.resize(n);
  return out;
}

TEST(CodePages, Utf8ToUtf16) {
  const struct {
    std::string bytes;
    Units units;
  } cases[] = {
      {"A", {0x41}},
      {"\xC3\xA9", {0xE9}},
      {"\xE2\x82\xAC", {0x20AC}},
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      // Ill-formed input: one U+FFFD for each maximal ill-formed part.
      {"\xC3", {0xFFFD}},
      {"\x80x", {0xFFFD, 0x78}},
      {"\xE2\x82" "A", {0xFFFD, 0x41}},
      {"\xC0\xAF", {0xFFFD, 0xFFFD}},              // overlong
      {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},  // an encoded surrogate
      {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},  // above U+10FFFF
      {"\xFF", {0xFFFD}},
  };
  for (const auto& c : cases) EXPECT_EQ(ToWide(CP_UTF8, c.bytes), c.units) << c.bytes;

  // With MB_ERR_INVALID_CHARS ill-formed input fails instead.
  Host().SetLastError(0);
  EXPECT_TRUE(ToWide(CP_UTF8, "ok\xC3", MB_ERR_INVALID_CHARS).empty());
  EXPECT_EQ(Host().GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(ToWide(CP_UTF8, "\xC3\xA9", MB_ERR_INVALID_CHARS), Units({0xE9}));
}

TEST(CodePages, Utf16ToUtf8) {
  EXPECT_EQ(ToBytes(CP_UTF8, {0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(ToBytes(CP_UTF8, {0xD800, 0x41}), "\xEF\xBF\xBD" "A");  // a lone surrogate
  EXPECT_EQ(ToBytes(CP_UTF8, {0xDC00}), "\xEF\xBF\xBD");

  WCHAR lone[] = {0x41, 0xDC00};
  char out[8];
  EXPECT_EQ(Host().WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 2, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(Host().GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  // UTF-8 takes no default character.
  BOOL used;
  EXPECT_EQ(Host().WideCharToMultiByte(CP_UTF8, 0, lone, 1, out, 8, nullptr, &used), 0);
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_PARAMETER);
  // A character goes out whole: one byte of room left for a two-byte one fails.
  WCHAR two[] = {0x41, 0xE9};
  EXPECT_EQ(Host().WideCharToMultiByte(CP_UTF8, 0, two, 2, out, 2, nullptr, nullptr), 0);
  EXPECT_EQ(Host().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePages, AnsiIsWindows1252) {
  const struct {
    uint8_t byte;
    WCHAR unit;
  } cases[] = {
      {0x41, 0x41}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x82, 0x201A}, {0x8D, 0x008D}, {0x8F, 0x008F},
      {0x90, 0x0090}, {0x92, 0x2019}, {0x99, 0x2122}, {0x9D, 0x009D}, {0x9F, 0x0178}, {0xA0, 0xA0},
      {0xE9, 0xE9}, {0xFF, 0xFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToWide(CP_ACP, std::string(1, static_cast<char>(c.byte))), Units({c.unit})) << int(c.byte);
  }
  // Every byte converts and comes back, and no default is needed for it.
  std::string all;
  for (int b = 1; b < 256; b++) all += static_cast<char>(b);
  BOOL used = TRUE;
  EXPECT_EQ(ToBytes(CP_ACP, ToWide(CP_ACP, all, MB_ERR_INVALID_CHARS), &used), all);
  EXPECT_FALSE(used);
  EXPECT_EQ(ToWide(1252, "\x80"), Units({0x20AC}));
}

TEST(CodePages, CharactersTheAnsiCodePageLacksBecomeTheDefault) {
  BOOL used = FALSE;
  // U+0100, U+0080 (no byte of its own), a surrogate pair (one character), a lone surrogate.
  EXPECT_EQ(ToBytes(CP_ACP, {0x41, 0x0100, 0x0080, 0xD83D, 0xDE00, 0xDC00, 0x20AC}, &used), "A????\x80");
  EXPECT_TRUE(used);
  EXPECT_EQ(ToBytes(CP_ACP, {0x3A9, 0x42}, nullptr, "*"), "*B");
}

TEST(CodePages, LengthsAndRoomAsWindowsChecksThem) {
  WCHAR wide[8];
  char narrow[8];
  const WCHAR abc[] = {'a', 'b', 'c', 0};
  const Platform& host = Host();
  const struct {
    const char* what;
    std::function<int()> call;
    int result;
    DWORD error;  // checked when the result is 0
  } cases[] = {
      {"zero length", [&] { return host.MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8); }, 0,
       ERROR_INVALID_PARAMETER},
      {"length below -1", [&] { return host.MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 8); }, 0,
       ERROR_INVALID_PARAMETER},
      {"null input", [&] { return host.MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8); }, 0,
       ERROR_INVALID_PARAMETER},
      {"room without buffer", [&] { return host.MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 8); }, 0,
       ERROR_INVALID_PARAMETER},
      {"room 0 gives the size", [&] { return host.MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9z", 3, nullptr, 0); }, 2,
       0},
      {"-1 counts the terminator", [&] { return host.MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8); }, 4, 0},
      {"too little room", [&] { return host.MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 2); }, 0,
       ERROR_INSUFFICIENT_BUFFER},
      {"unknown code page", [&] { return host.MultiByteToWideChar(437, 0, "abc", 3, wide, 8); }, 0,
       ERROR_INVALID_PARAMETER},
      {"unknown flag", [&] { return host.MultiByteToWideChar(CP_UTF8, 0x2, "abc", 3, wide, 8); }, 0,
       ERROR_INVALID_FLAGS},
      {"wide zero length", [&] { return host.WideCharToMultiByte(CP_ACP, 0, abc, 0, narrow, 8, nullptr, nullptr); },
       0, ERROR_INVALID_PARAMETER},
      {"wide room 0 gives the size",
       [&] { return host.WideCharToMultiByte(CP_UTF8, 0, abc, 3, nullptr, 0, nullptr, nullptr); }, 3, 0},
      {"wide -1 counts the terminator",
       [&] { return host.WideCharToMultiByte(CP_ACP, 0, abc, -1, narrow, 8, nullptr, nullptr); }, 4, 0},
      {"wide too little room",
       [&] { return host.WideCharToMultiByte(CP_ACP, 0, abc, 3, narrow, 2, nullptr, nullptr); }, 0,
       ERROR_INSUFFICIENT_BUFFER},
      {"invalid-chars flag on ANSI",
       [&] { return host.WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, abc, 3, narrow, 8, nullptr, nullptr); },
       0, ERROR_INVALID_FLAGS},
  };
  for (const auto& c : cases) {
    host.SetLastError(0);
    EXPECT_EQ(c.call(), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(host.GetLastError(), c.error) << c.what;
    }
  }
  EXPECT_EQ(host.MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8), 4);
  EXPECT_EQ(wide[3], 0);
  EXPECT_EQ(host.WideCharToMultiByte(CP_ACP, 0, abc, -1, narrow, 8, nullptr, nullptr), 4);
  EXPECT_STREQ(narrow, "abc");
}
