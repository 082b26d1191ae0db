// The errno table, FILETIME conversion, and the string helpers and formatter.
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <string>

#include "platform/filetime.h"
#include "platform/posix_internal.h"
#include "platform_fixture.h"

TEST(ErrnoTable, MapsToTheWindowsNumbers) {
  const struct {
    int error;
    DWORD windows;
  } cases[] = {
      {ENOENT, 2},  {ENOTDIR, 3},        {EMFILE, 4},   {ENFILE, 4},  {EACCES, 5},  {EPERM, 5},
      {EISDIR, 5},  {EROFS, 5},          {EBADF, 6},    {ENOMEM, 8},  {EEXIST, 80}, {EINVAL, 87},
      {ENOSPC, 112}, {EDQUOT, 112},      {EFBIG, 112},  {ENOTEMPTY, 145}, {EBUSY, 170},
      {ENAMETOOLONG, 206}, {ETXTBSY, 32}, {EIO, 1117},  {ELOOP, 1921},
  };
  for (const auto& c : cases) EXPECT_EQ(WindowsErrorFromErrno(c.error), c.windows) << strerror(c.error);
  // Anything unknown: ERROR_GEN_FAILURE.
  EXPECT_EQ(WindowsErrorFromErrno(99999), 31u);
  EXPECT_EQ(WindowsErrorFromErrno(-1), 31u);
}

TEST(ErrnoTable, FailFromErrnoSetsTheLastError) {
  errno = ENOSPC;
  EXPECT_EQ(PosixFailFromErrno(), 112u);
  EXPECT_EQ(Posix().GetLastError(), 112u);
}

TEST(FileTime, ConvertsBothWaysAroundThe1601Epoch) {
  const struct {
    int64_t seconds;
    uint32_t nanoseconds;
    uint64_t filetime;
    const char* text;
  } cases[] = {
      {-11644473600ll, 0, 0ull, "1601-01-01 00:00:00.0000000 UTC"},
      {-1, 0, 116444735990000000ull, "1969-12-31 23:59:59.0000000 UTC"},
      {0, 0, 116444736000000000ull, "1970-01-01 00:00:00.0000000 UTC"},
      {946684800, 123456700, 125911584001234567ull, "2000-01-01 00:00:00.1234567 UTC"},
      {1709210096, 0, 133536836960000000ull, "2024-02-29 12:34:56.0000000 UTC"},
      {2147483648ll, 0, 137919572480000000ull, "2038-01-19 03:14:08.0000000 UTC"},
      {253402300799ll, 999999900, 2650467743999999999ull, "9999-12-31 23:59:59.9999999 UTC"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileTimeFromUnix(c.seconds, c.nanoseconds), c.filetime) << c.text;
    int64_t seconds = 0;
    uint32_t nanoseconds = 1;
    UnixFromFileTime(c.filetime, &seconds, &nanoseconds);
    EXPECT_EQ(seconds, c.seconds) << c.text;
    EXPECT_EQ(nanoseconds, c.nanoseconds) << c.text;
    char text[40];
    EXPECT_EQ(FormatFileTime(c.filetime, text, sizeof(text)), strlen(c.text));
    EXPECT_STREQ(text, c.text);
  }
}

TEST(FileTime, CutsAndClampsWhatDoesNotFit) {
  // Below 100 ns is cut, not rounded.
  EXPECT_EQ(FileTimeFromUnix(0, 199), 116444736000000001ull);
  // Nanoseconds of a second or more carry into the seconds.
  EXPECT_EQ(FileTimeFromUnix(0, 1500000000u), FileTimeFromUnix(1, 500000000u));
  // Before 1601 and past the 64-bit range.
  EXPECT_EQ(FileTimeFromUnix(-11644473601ll, 0), 0u);
  EXPECT_EQ(FileTimeFromUnix(INT64_MAX, 0), UINT64_MAX);
  // The largest FILETIME still has a Unix time and a text (a five-digit year).
  int64_t seconds;
  uint32_t nanoseconds;
  UnixFromFileTime(UINT64_MAX, &seconds, &nanoseconds);
  EXPECT_EQ(seconds, 1844674407370ll - 11644473600ll);
  EXPECT_EQ(nanoseconds, 955161500u);
  char text[40];
  EXPECT_EQ(FormatFileTime(UINT64_MAX, text, sizeof(text)), 32u);
  char small[31];
  EXPECT_EQ(FormatFileTime(0, small, sizeof(small)), 0u);
  EXPECT_STREQ(small, "");
}

TEST(StringHelpers, LengthAndBoundedCopy) {
  EXPECT_EQ(Posix().lstrlenA(nullptr), 0);
  EXPECT_EQ(Posix().lstrlenA(""), 0);
  EXPECT_EQ(Posix().lstrlenA("setup.exe"), 9);

  char buffer[8];
  memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(Posix().lstrcpynA(buffer, "abcdef", 4), buffer);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], 'x');
  Posix().lstrcpynA(buffer, "ab", 8);
  EXPECT_STREQ(buffer, "ab");
  Posix().lstrcpynA(buffer, "abcdef", 1);
  EXPECT_STREQ(buffer, "");
  memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(Posix().lstrcpynA(buffer, "abcdef", 0), buffer);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(Posix().lstrcpynA(nullptr, "a", 4), nullptr);
  EXPECT_EQ(Posix().lstrcpynA(buffer, nullptr, 4), nullptr);
}

TEST(Formatter, FollowsTheWindowsRules) {
  char out[1100];
  EXPECT_EQ(PosixFormat(out, "%s|%u|%d|%x|%X|%c|%%", "ab", 4294967295u, INT_MIN, 0xBEEFu, 0xBEEFu, 'Q'), 39);
  EXPECT_STREQ(out, "ab|4294967295|-2147483648|beef|BEEF|Q|%");

  const struct {
    const char* format;
    unsigned value;
    const char* expected;
  } numbers[] = {
      {"[%5u]", 42, "[   42]"},      {"[%-5u]", 42, "[42   ]"},   {"[%05u]", 42, "[00042]"},
      {"[%04X]", 0x1A2C, "[1A2C]"},  {"-%04X.exe", 0xC, "-000C.exe"}, {"[%2u]", 12345, "[12345]"},
      {"[%lu]", 7, "[7]"},           {"[%#x]", 255, "[0xff]"},    {"[%-05u]", 3, "[3    ]"},
      {"[%.3u]", 7, "[007]"},        {"[%u]", 0, "[0]"},          {"[%x]", 0, "[0]"},
  };
  for (const auto& c : numbers) {
    EXPECT_EQ(PosixFormat(out, c.format, c.value), static_cast<int>(strlen(c.expected))) << c.format;
    EXPECT_STREQ(out, c.expected) << c.format;
  }
  PosixFormat(out, "[%05d][%d][%ld][%5d]", -42, -7, -8, 9);
  EXPECT_STREQ(out, "[-0042][-7][-8][    9]");
  PosixFormat(out, "[%3s][%-3s][%.2s][%s]", "a", "b", "cde", static_cast<const char*>(nullptr));
  EXPECT_STREQ(out, "[  a][b  ][cd][(null)]");
  // An unknown type is copied; a lone '%' at the end is dropped.
  PosixFormat(out, "%z and %", 1);
  EXPECT_STREQ(out, "z and ");
  PosixFormat(out, "GetTempPath() failed => %u\n", 5u);
  EXPECT_STREQ(out, "GetTempPath() failed => 5\n");
}

TEST(Formatter, CutsAt1024BytesWithTheTerminator) {
  char out[1100];
  memset(out, '#', sizeof(out));
  const std::string longText(2000, 'a');
  EXPECT_EQ(PosixFormat(out, "%s tail", longText.c_str()), 1023);
  EXPECT_EQ(strlen(out), 1023u);
  EXPECT_EQ(out[1024], '#');  // nothing past the limit

  // The cut may fall inside a number, in padding or in literal text.
  const std::string head(1020, 'h');
  memset(out, '#', sizeof(out));
  EXPECT_EQ(PosixFormat(out, "%s%u", head.c_str(), 123456u), 1023);
  EXPECT_EQ(std::string(out + 1020), "123");
  EXPECT_EQ(PosixFormat(out, "%s%10u", head.c_str(), 1u), 1023);
  EXPECT_EQ(std::string(out + 1020), "   ");
  const std::string literal(1500, 'L');
  EXPECT_EQ(PosixFormat(out, literal.c_str()), 1023);
  EXPECT_EQ(out[1023], '\0');
  // Exactly 1023 characters fit whole.
  const std::string exact(1023, 'e');
  EXPECT_EQ(PosixFormat(out, "%s", exact.c_str()), 1023);
  EXPECT_EQ(std::string(out), exact);
}
