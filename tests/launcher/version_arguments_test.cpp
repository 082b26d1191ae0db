#include <gtest/gtest.h>

#include <string.h>

#include <optional>
#include <string>
#include <vector>

#include "launcher/version_arguments.h"
#include "launcher_support.h"
#include "platform/testing.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"

namespace {

// A scripted version block: its size, its translation table and the values
// its string tables hold, by query path.
struct VersionScript {
  DWORD size = 512;
  std::optional<std::vector<uint8_t>> translation;
  std::vector<std::pair<std::string, std::pair<const char*, UINT>>> values;
};

VersionScript* current;

// Reads the version arguments under the script; returns the text or
// "<absent>", and checks that nothing is left allocated once it is freed.
std::string Read(VersionScript& script) {
  current = &script;
  Script().versionsize = [](const char*) { return current->size; };
  Script().versionquery = [](LPCVOID, const char* query, LPVOID* value, PUINT length) -> BOOL {
    if (strcmp(query, "\\VarFileInfo\\Translation") == 0) {
      if (!current->translation) return FALSE;
      *value = current->translation->data();
      *length = static_cast<UINT>(current->translation->size());
      return TRUE;
    }
    for (auto& entry : current->values) {
      if (entry.first != query) continue;
      *value = const_cast<char*>(entry.second.first);
      *length = entry.second.second;
      return TRUE;
    }
    return FALSE;
  };
  char* text = ReadVersionArguments("/nowhere/setup.exe");
  std::string result = text != nullptr ? std::string(text) : "<absent>";
  if (text != nullptr) Sys().GlobalFree(text);
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  return result;
}

const std::vector<uint8_t> neutralUnicode = {0x00, 0x00, 0xB0, 0x04};  // language 0, code page 1200
const char* const neutralPath = "\\StringFileInfo\\000004b0\\Arguments";

}  // namespace

TEST(ReadVersionArguments, ValuesOfTheFirstTranslation) {
  static const char zeros[65] = {};
  struct Case {
    const char* name;
    const char* value;
    UINT length;
    const char* expected;
  } cases[] = {
      {"a present value", "/lang=de /S", 12, "/lang=de /S"},
      {"an empty value", "", 1, ""},
      {"65 stored zeros", zeros, 65, ""},
      {"the length counts the terminator", "abcdef", 3, "ab"},
      {"a null value", nullptr, 5, "<absent>"},
      {"a length of 0", "x", 0, "<absent>"},
      {"a length beyond the block", "x", 513, "<absent>"},
  };
  for (const Case& c : cases) {
    ScriptedScope scope;
    VersionScript script;
    script.translation = neutralUnicode;
    script.values = {{neutralPath, {c.value, c.length}}};
    EXPECT_EQ(c.expected, Read(script)) << c.name;
    EXPECT_EQ((std::vector<std::string>{"\\VarFileInfo\\Translation", neutralPath}), CallsOf(Op_VerQueryValueA))
        << c.name;
  }
}

TEST(ReadVersionArguments, QueryPathFromTheFirstEntryOnly) {
  ScriptedScope scope;
  VersionScript script;
  // Language 0x0409, code page 0x04E4; a second entry whose table has a value.
  script.translation = std::vector<uint8_t>{0x09, 0x04, 0xE4, 0x04, 0x00, 0x00, 0xB0, 0x04};
  script.values = {{neutralPath, {"/S", 3}}};
  EXPECT_EQ("<absent>", Read(script));
  EXPECT_EQ((std::vector<std::string>{"\\VarFileInfo\\Translation", "\\StringFileInfo\\040904e4\\Arguments"}),
            CallsOf(Op_VerQueryValueA));
}

TEST(ReadVersionArguments, AbsentWhenTheBlockOrTheTableIsMissing) {
  struct Case {
    const char* name;
    void (*arrange)(VersionScript&);
    uint32_t queries;
  } cases[] = {
      {"no version block", [](VersionScript& s) { s.size = 0; }, 0},
      {"block unreadable", [](VersionScript&) { Testing().faults = {{Op_GetFileVersionInfoA, 1, 5}}; }, 0},
      {"no memory for the block", [](VersionScript&) { Testing().faults = {{Op_HeapAlloc, 1, 8}}; }, 0},
      {"no translation table", [](VersionScript& s) { s.translation.reset(); }, 1},
      {"translation table short", [](VersionScript& s) { s.translation = std::vector<uint8_t>{0, 0, 0xB0}; }, 1},
      {"no Arguments value", [](VersionScript& s) { s.values.clear(); }, 2},
      {"query path not formed", [](VersionScript&) { Testing().faults = {{Op_wvsprintfA, 1, 87}}; }, 1},
      {"no memory for the text", [](VersionScript&) { Testing().faults = {{Op_GlobalAlloc, 1, 8}}; }, 2},
      // Nothing was copied: the new block's bytes are not the value.
      {"the copy into the text fails", [](VersionScript&) { Testing().faults = {{Op_lstrcpynA, 1, 87}}; }, 2},
  };
  for (const Case& c : cases) {
    ScriptedScope scope;
    VersionScript script;
    script.translation = neutralUnicode;
    script.values = {{neutralPath, {"/S", 3}}};
    c.arrange(script);
    EXPECT_EQ("<absent>", Read(script)) << c.name;
    EXPECT_EQ(c.queries, TestingCount(Op_VerQueryValueA)) << c.name;
    // No block is allocated for a file without one.
    EXPECT_EQ(script.size != 0 ? 1u : 0u, TestingCount(Op_HeapAlloc)) << c.name;
  }
}

namespace {

std::string VersionResource(const std::string& tables, const std::string& translation) {
  return "1 VERSIONINFO\nFILEVERSION 1,0,0,0\nBEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n" + tables +
         "  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", " + translation + "\n  END\nEND\n";
}

std::string Table(const std::string& name, const std::string& values) {
  return "    BLOCK \"" + name + "\"\n    BEGIN\n" + values + "    END\n";
}

}  // namespace

TEST(ReadVersionArguments, FromWindowsExecutables) {
  ScratchDir dir;
  std::string zeros;
  for (int i = 0; i < 64; ++i) zeros += "\\0";
  struct Case {
    const char* name;
    std::string resources;
    const char* expected;
  } cases[] = {
      {"present", VersionResource(Table("000004b0", "      VALUE \"Arguments\", \"/lang=de /S\"\n"), "0x0000, 0x04B0"),
       "/lang=de /S"},
      // As the loader's own resource stores it: room for 64 characters.
      {"stored zeros",
       VersionResource(Table("000004b0", "      VALUE \"Arguments\", \"" + zeros + "\"\n"), "0x0000, 0x04B0"), ""},
      {"only under another translation",
       VersionResource(Table("040904b0", "      VALUE \"Name\", \"pxq\"\n") +
                           Table("000004b0", "      VALUE \"Arguments\", \"/S\"\n"),
                       "0x0409, 0x04B0, 0x0000, 0x04B0"),
       "<absent>"},
      {"no version resource", "", "<absent>"},
  };
  int index = 0;
  for (const Case& c : cases) {
    std::string stub = BuildWindowsExe(dir, "stub" + std::to_string(index++), c.resources);
    if (stub.empty()) GTEST_SKIP() << "i686-w64-mingw32-gcc and -windres are needed";
    TestingScope scope;
    char* text = ReadVersionArguments(stub.c_str());
    EXPECT_EQ(c.expected, text != nullptr ? std::string(text) : "<absent>") << c.name;
    if (text != nullptr) Sys().GlobalFree(text);
    EXPECT_TRUE(TestingNothingOpen()) << c.name << ": " << TestingOpenSummary();
  }
  TestingScope scope;
  EXPECT_EQ(nullptr, ReadVersionArguments(dir.File("missing.exe").c_str()));
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}
