// The testing backend: faults, sweeps, short I/O, scripts, records, accounting.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/testing.h"
#include "platform_fixture.h"

namespace {

HANDLE Create(const std::string& path) {
  return Sys().CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenForReading(const std::string& path) {
  return Sys().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

// A small piece of work in the loader's style: every failure is handled, and
// everything acquired is released on every path.
void Work(const std::string& path) {
  void* block = Sys().HeapAlloc(Sys().GetProcessHeap(), HEAP_ZERO_MEMORY, 128);
  HANDLE file = Create(path);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    Sys().WriteFile(file, "payload", static_cast<DWORD>(Sys().lstrlenA("payload")), &written, nullptr);
    Sys().CloseHandle(file);
  }
  if (Sys().GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) Sys().DeleteFileA(path.c_str());
  if (block != nullptr) Sys().HeapFree(Sys().GetProcessHeap(), 0, block);
}

}  // namespace

TEST(TestingBackend, FailsTheNthCallOfAnOperation) {
  ScratchDir dir;
  TestingScope scope;
  Testing().faults.push_back({Op_CreateFileA, 2, ERROR_SHARING_VIOLATION});

  HANDLE first = Create(dir.File("one"));
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Create(dir.File("two")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Sys().GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(access(dir.File("two").c_str(), F_OK), -1);  // not passed on
  HANDLE third = Create(dir.File("three"));
  EXPECT_NE(third, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Sys().CloseHandle(first));
  EXPECT_TRUE(Sys().CloseHandle(third));

  EXPECT_EQ(TestingCount(Op_CreateFileA), 3u);
  EXPECT_EQ(Testing().injected, 1u);
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();

  // A failed HeapAlloc is a null block and counts nothing as live.
  Testing().faults = {{Op_HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}};
  EXPECT_EQ(Sys().HeapAlloc(Sys().GetProcessHeap(), HEAP_ZERO_MEMORY, 64), nullptr);
  EXPECT_EQ(Sys().GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  Testing().faults = {{Op_GlobalAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}};
  EXPECT_EQ(Sys().GlobalAlloc(GMEM_FIXED, 64), nullptr);
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

TEST(TestingBackend, SweepReachesEveryFailableCallOnce) {
  ScratchDir dir;
  const std::string path = dir.File("swept");
  uint32_t failable;
  {
    TestingScope scope;
    Work(path);
    failable = Testing().failablecalls;
    // HeapAlloc, CreateFileA, WriteFile, GetFileAttributesA, DeleteFileA; the
    // heap token, lstrlenA and the releases are not failable.
    EXPECT_EQ(failable, 5u);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
  for (uint32_t nth = 1; nth <= failable + 1; ++nth) {
    TestingScope scope;
    Testing().faults.push_back({PlatformOpCount, nth, 1234});
    Work(path);
    EXPECT_EQ(Testing().injected, nth <= failable ? 1u : 0u) << nth;
    EXPECT_TRUE(TestingNothingOpen()) << "fault " << nth << ": " << TestingOpenSummary();
    unlink(path.c_str());
  }
}

TEST(TestingBackend, ReleasesCanReportFailureAndStillRelease) {
  ScratchDir dir;
  TestingScope scope;
  Testing().faults = {{Op_CloseHandle, 1, ERROR_INVALID_HANDLE}, {Op_HeapFree, 1, ERROR_INVALID_PARAMETER}};
  HANDLE file = Create(dir.File("f"));
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Sys().CloseHandle(file));
  EXPECT_EQ(Sys().GetLastError(), ERROR_INVALID_HANDLE);
  void* block = Sys().HeapAlloc(Sys().GetProcessHeap(), 0, 8);
  EXPECT_FALSE(Sys().HeapFree(Sys().GetProcessHeap(), 0, block));
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  EXPECT_EQ(Testing().failablecalls, 2u);  // CreateFileA and HeapAlloc only
}

TEST(TestingBackend, ShortAndZeroWrites) {
  ScratchDir dir;
  const std::string path = dir.File("short");
  TestingScope scope;
  Testing().shortwrite = 4;
  Testing().zerowriteat = 2;
  HANDLE file = Create(path);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 99;
  EXPECT_TRUE(Sys().WriteFile(file, "0123456789", 10, &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_TRUE(Sys().WriteFile(file, "456789", 6, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(Sys().WriteFile(file, "456789", 6, &written, nullptr));
  EXPECT_EQ(written, 4u);
  EXPECT_TRUE(Sys().CloseHandle(file));
  EXPECT_EQ(ReadFileText(path), "01234567");

  Testing().shortread = 3;
  file = OpenForReading(path);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string content;
  char buffer[64];
  DWORD count;
  int reads = 0;
  while (Sys().ReadFile(file, buffer, sizeof(buffer), &count, nullptr) && count != 0) {
    EXPECT_LE(count, 3u);
    content.append(buffer, count);
    ++reads;
  }
  EXPECT_EQ(content, "01234567");
  EXPECT_EQ(reads, 3);
  EXPECT_TRUE(Sys().CloseHandle(file));
  EXPECT_EQ(Testing().calls.back().op, Op_CloseHandle);
  EXPECT_EQ(Testing().calls[0].detail, path);
}

TEST(TestingBackend, AccountingCatchesLeaks) {
  ScratchDir dir;
  HANDLE leaked;
  void* block;
  HGLOBAL global;
  {
    TestingScope scope;
    EXPECT_TRUE(TestingNothingOpen());
    leaked = Create(dir.File("leak"));
    block = Sys().HeapAlloc(Sys().GetProcessHeap(), HEAP_ZERO_MEMORY, 16);
    global = Sys().GlobalAlloc(GMEM_FIXED, 16);
    EXPECT_FALSE(TestingNothingOpen());
    EXPECT_EQ(Testing().openhandles, 1);
    EXPECT_EQ(Testing().liveblocks, 1);
    EXPECT_EQ(Testing().liveglobals, 1);
    EXPECT_NE(TestingOpenSummary().find("handles 1"), std::string::npos) << TestingOpenSummary();

    // Releasing something twice, or something foreign, does not hide a leak.
    EXPECT_TRUE(Sys().HeapFree(Sys().GetProcessHeap(), 0, block));
    EXPECT_EQ(Testing().liveblocks, 0);
    EXPECT_FALSE(Sys().CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(Testing().openhandles, 1);
    EXPECT_EQ(Sys().GlobalFree(global), nullptr);
    EXPECT_EQ(Testing().liveglobals, 0);
    EXPECT_FALSE(TestingNothingOpen());
  }
  EXPECT_TRUE(Posix().CloseHandle(leaked));
}

TEST(TestingBackend, ScriptedSystem) {
  TestingScope scope;
  TestingBackend& t = Testing();
  t.platformid = VER_PLATFORM_WIN32_WINDOWS;
  t.architecture = PROCESSOR_ARCHITECTURE_IA64;
  t.processid = 0x12345678;

  OSVERSIONINFOA version;
  version.dwOSVersionInfoSize = PXQ_OSVERSIONINFOA_SIZE;
  EXPECT_TRUE(Sys().GetVersionExA(&version));
  EXPECT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(Sys().GetCurrentProcessId(), 0x12345678u);

  SYSTEM_INFO info;
  Sys().GetSystemInfo(&info);
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_IA64);
  FARPROC found = Sys().GetProcAddress(Sys().GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
  ASSERT_NE(found, nullptr);
  auto native = reinterpret_cast<GetNativeSystemInfoProc>(reinterpret_cast<void (*)(void)>(found));
  memset(&info, 0, sizeof(info));
  native(&info);
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_IA64);
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
  EXPECT_EQ(t.nativesysteminfocalls, 1u);

  t.nativesysteminfomissing = true;
  EXPECT_EQ(Sys().GetProcAddress(Sys().GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo"), nullptr);
  EXPECT_EQ(t.calls.back().op, Op_GetProcAddress);
  EXPECT_EQ(t.calls.back().detail, "GetNativeSystemInfo");
  EXPECT_EQ(Sys().GetLastError(), ERROR_PROC_NOT_FOUND);
}

// Removing an environment variable that is not set fails, as on Windows;
// one that is set goes.
TEST(TestingBackend, RemovingAnAbsentVariableFailsAsOnWindows) {
  TestingScope scope;
  unsetenv("PXQ_TESTING_VARIABLE");
  EXPECT_FALSE(Sys().SetEnvironmentVariableA("PXQ_TESTING_VARIABLE", nullptr));
  EXPECT_EQ(ERROR_ENVVAR_NOT_FOUND, Sys().GetLastError());
  ASSERT_TRUE(Sys().SetEnvironmentVariableA("PXQ_TESTING_VARIABLE", "x"));
  EXPECT_STREQ("x", getenv("PXQ_TESTING_VARIABLE"));
  EXPECT_TRUE(Sys().SetEnvironmentVariableA("PXQ_TESTING_VARIABLE", nullptr));
  EXPECT_EQ(nullptr, getenv("PXQ_TESTING_VARIABLE"));
}

TEST(TestingBackend, ScriptedPathsImageAndCommandLine) {
  TestingScope scope;
  TestingBackend& t = Testing();
  char buffer[32];

  t.temppath = "E:\\Temp\\";
  EXPECT_EQ(Sys().GetTempPathA(sizeof(buffer), buffer), 8u);
  EXPECT_STREQ(buffer, "E:\\Temp\\");
  memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(Sys().GetTempPathA(8, buffer), 9u);
  EXPECT_EQ(buffer[0], '#');
  t.temppath = "";
  EXPECT_EQ(Sys().GetTempPathA(sizeof(buffer), buffer), 0u);
  EXPECT_STREQ(buffer, "");
  t.temppath = "/tmp/";
  t.faults = {{Op_GetTempPathA, 4, ERROR_ACCESS_DENIED}};
  buffer[0] = 'x';
  EXPECT_EQ(Sys().GetTempPathA(sizeof(buffer), buffer), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(Sys().GetLastError(), ERROR_ACCESS_DENIED);

  t.modulepath = "D:\\Downloads\\setup.exe";
  EXPECT_EQ(Sys().GetModuleFileNameA(nullptr, buffer, sizeof(buffer)), 22u);
  EXPECT_STREQ(buffer, "D:\\Downloads\\setup.exe");
  EXPECT_EQ(Sys().GetModuleFileNameA(nullptr, buffer, 6), 6u);
  EXPECT_STREQ(buffer, "D:\\Do");
  EXPECT_EQ(Sys().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  t.modulepath = "";
  EXPECT_EQ(Sys().GetModuleFileNameA(nullptr, buffer, sizeof(buffer)), 0u);
  EXPECT_NE(Sys().GetLastError(), ERROR_SUCCESS);

  t.moduleimage = std::vector<uint8_t>{'M', 'Z', 1, 2};
  const uint8_t* image = static_cast<const uint8_t*>(Sys().GetModuleHandleA(nullptr));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image[0], 'M');
  EXPECT_EQ(image[3], 2);
  for (int i = 4; i < 64; ++i) EXPECT_EQ(image[i], 0) << i;  // padded to a DOS header

  t.commandline = "\"C:\\setup.exe\" /S";
  EXPECT_STREQ(Sys().GetCommandLineA(), "\"C:\\setup.exe\" /S");
}

TEST(TestingBackend, ScriptedWidePaths) {
  TestingScope scope;
  TestingBackend& t = Testing();
  WCHAR buffer[32];
  auto text = [&] {
    std::vector<WCHAR> units;
    for (const WCHAR* unit = buffer; *unit != 0; ++unit) units.push_back(*unit);
    return units;
  };

  // Unset: the ANSI scripts as Windows-1252 reads them.
  t.modulepath = "D:\\caf\xE9.exe";
  t.temppath = "E:\\\x80\\";
  EXPECT_EQ(11u, Sys().GetModuleFileNameW(nullptr, buffer, 32));
  EXPECT_EQ((std::vector<WCHAR>{'D', ':', '\\', 'c', 'a', 'f', 0xE9, '.', 'e', 'x', 'e'}), text());
  EXPECT_EQ(5u, Sys().GetTempPathW(32, buffer));
  EXPECT_EQ((std::vector<WCHAR>{'E', ':', '\\', 0x20AC, '\\'}), text());

  // Set: UTF-8, with Windows' buffer rules.
  t.widemodulepath = "D:\\\xE6\x97\xA5.exe";
  EXPECT_EQ(8u, Sys().GetModuleFileNameW(nullptr, buffer, 32));
  EXPECT_EQ((std::vector<WCHAR>{'D', ':', '\\', 0x65E5, '.', 'e', 'x', 'e'}), text());
  EXPECT_EQ(4u, Sys().GetModuleFileNameW(nullptr, buffer, 4));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, Sys().GetLastError());
  EXPECT_EQ((std::vector<WCHAR>{'D', ':', '\\'}), text());
  t.widetemppath = "";
  EXPECT_EQ(0u, Sys().GetTempPathW(32, buffer));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Sys().GetLastError());

  t.shortnames = {{"D:\\\xE6\x97\xA5.exe", "D:\\8~1.EXE"}};
  const WCHAR path[] = {'D', ':', '\\', 0x65E5, '.', 'e', 'x', 'e', 0};
  EXPECT_EQ(10u, Sys().GetShortPathNameW(path, buffer, 32));
  EXPECT_EQ((std::vector<WCHAR>{'D', ':', '\\', '8', '~', '1', '.', 'E', 'X', 'E'}), text());
  EXPECT_EQ(11u, Sys().GetShortPathNameW(path, buffer, 10));
  EXPECT_EQ("D:\\\xE6\x97\xA5.exe", t.calls.back().detail);
  t.faults = {{Op_GetShortPathNameW, 3, ERROR_ACCESS_DENIED}};
  EXPECT_EQ(0u, Sys().GetShortPathNameW(path, buffer, 32));
  EXPECT_EQ(ERROR_ACCESS_DENIED, Sys().GetLastError());
}

TEST(TestingBackend, RecordsWithoutActing) {
  TestingScope scope;
  TestingBackend& t = Testing();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Sys().MessageBoxA(nullptr, "No installer available for the current platform\n", "PXQ Loader",
                              MB_OK | MB_ICONERROR),
            1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(t.messages.size(), 1u);
  EXPECT_EQ(t.messages[0], "No installer available for the current platform\n");
  EXPECT_EQ(t.calls.back().detail, t.messages[0]);

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) Sys().Sleep(500);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(t.sleeps, std::vector<DWORD>(10, 500));
  EXPECT_EQ(t.calls.back().detail, "500");

  Sys().ExitProcess(253);
  ASSERT_TRUE(t.exitcode.has_value());
  EXPECT_EQ(*t.exitcode, 253u);

  // The formatter passes through, arguments and all.
  char text[64];
  EXPECT_EQ(FormatText(text, "-%04X.exe", 0x1A2Cu), 9);
  EXPECT_STREQ(text, "-1A2C.exe");
  EXPECT_EQ(TestingCount(Op_wvsprintfA), 1u);
  EXPECT_EQ(TestingCount(Op_Sleep), 10u);
}

TEST(TestingBackend, ScopeRestoresThePreviousBackend) {
  const Platform* before = UsePlatform(PosixPlatform());
  {
    TestingScope scope;
    EXPECT_NE(activePlatform, PosixPlatform());
    {
      TestingScope inner;
      EXPECT_EQ(Testing().calls.size(), 0u);
    }
  }
  EXPECT_EQ(activePlatform, PosixPlatform());
  UsePlatform(before);
}
