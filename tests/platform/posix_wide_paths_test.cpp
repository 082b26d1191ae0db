// The wide path calls of the host backend: a system whose ANSI code page
// holds every path, and whose volumes keep no short names.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform_fixture.h"

namespace {

typedef std::vector<WCHAR> Wide;

// The UTF-16 text of a NUL-terminated buffer.
Wide Text(const WCHAR* buffer) {
  Wide text;
  while (*buffer != 0) text.push_back(*buffer++);
  return text;
}

// What Windows-1252 makes of the bytes (0xE9 is U+00E9, 0x80 is U+20AC).
Wide Windows1252(const std::string& bytes) {
  Wide text;
  for (unsigned char c : bytes) text.push_back(c == 0x80 ? 0x20AC : c);
  return text;
}

struct TmpDir {
  explicit TmpDir(const std::string& value) {
    const char* old = getenv("TMPDIR");
    had = old != nullptr;
    if (had) saved = old;
    setenv("TMPDIR", value.c_str(), 1);
  }
  ~TmpDir() {
    if (had)
      setenv("TMPDIR", saved.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  bool had;
  std::string saved;
};

}  // namespace

TEST(WidePaths, ModuleFileNameIsTheAnsiOneInUtf16) {
  ScratchDir dir;
  const std::string file = dir.File("caf\xE9 \x80.exe");
  WriteFileText(file, "MZ");
  ASSERT_EQ(PosixSetModule(file.c_str()), ERROR_SUCCESS);
  char ansi[4096];
  const DWORD length = Posix().GetModuleFileNameA(nullptr, ansi, sizeof(ansi));
  ASSERT_LT(0u, length);

  WCHAR wide[4096];
  EXPECT_EQ(length, Posix().GetModuleFileNameW(nullptr, wide, 4096));
  EXPECT_EQ(Windows1252(ansi), Text(wide));
  // Too small: cut and terminated, the buffer's size, ERROR_INSUFFICIENT_BUFFER.
  EXPECT_EQ(5u, Posix().GetModuleFileNameW(nullptr, wide, 5));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, Posix().GetLastError());
  EXPECT_EQ(Windows1252(std::string(ansi, 4)), Text(wide));
  EXPECT_EQ(length, Posix().GetModuleFileNameW(nullptr, wide, length));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, Posix().GetLastError());
}

TEST(WidePaths, TempPathIsTheAnsiOneInUtf16) {
  ScratchDir dir;
  TmpDir tmpdir(dir.File("t\xE9mp"));
  char ansi[4096];
  const DWORD length = Posix().GetTempPathA(sizeof(ansi), ansi);
  ASSERT_LT(0u, length);
  WCHAR wide[4096];
  EXPECT_EQ(length, Posix().GetTempPathW(4096, wide));
  EXPECT_EQ(Windows1252(ansi), Text(wide));
  // Too small: the size needed with the terminator, nothing written.
  wide[0] = '#';
  EXPECT_EQ(length + 1, Posix().GetTempPathW(length, wide));
  EXPECT_EQ('#', wide[0]);
  EXPECT_EQ(length + 1, Posix().GetTempPathW(0, nullptr));
}

TEST(WidePaths, ShortPathNameIsThePathItselfWhereItExists) {
  ScratchDir dir;
  const std::string file = dir.File("s\xE9tup.exe");
  WriteFileText(file, "MZ");
  Wide path = Windows1252(file);
  path.push_back(0);
  const DWORD length = static_cast<DWORD>(path.size() - 1);

  WCHAR out[4096];
  EXPECT_EQ(length, Posix().GetShortPathNameW(path.data(), out, 4096));
  EXPECT_EQ(Windows1252(file), Text(out));
  out[0] = '#';
  EXPECT_EQ(length + 1, Posix().GetShortPathNameW(path.data(), out, length));
  EXPECT_EQ('#', out[0]);
  // In place, as Windows allows.
  Wide inplace = path;
  EXPECT_EQ(length, Posix().GetShortPathNameW(inplace.data(), inplace.data(), length + 1));
  EXPECT_EQ(path, inplace);

  WriteFileText(dir.File("?"), "");
  struct Case {
    const char* name;
    Wide path;
    DWORD error;
  } cases[] = {
      {"missing", Windows1252(dir.File("absent.exe")), ERROR_FILE_NOT_FOUND},
      // Not the file "?" that the code page's default character would name.
      {"outside the code page", Windows1252(dir.File("?")), ERROR_FILE_NOT_FOUND},
      {"empty", Wide(), ERROR_PATH_NOT_FOUND},
  };
  cases[1].path.back() = 0x65E5;  // a character Windows-1252 lacks
  for (Case& c : cases) {
    c.path.push_back(0);
    EXPECT_EQ(0u, Posix().GetShortPathNameW(c.path.data(), out, 4096)) << c.name;
    EXPECT_EQ(c.error, Posix().GetLastError()) << c.name;
  }
}
