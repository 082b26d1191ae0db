#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher/loader_main.h"
#include "launcher_support.h"
#include "platform/testing.h"
#include "support/scratch_dir.h"

namespace {

// A running NT x64 system and a loader whose stamp announces all three
// builds; the own file does not exist, so an extraction fails.
struct LoaderRun {
  ScratchDir dir;
  std::string own;
  TestingScope scope;
  LoaderRun() {
    own = dir.File("setup.exe");
    Testing().platformid = VER_PLATFORM_WIN32_NT;
    Testing().architecture = PROCESSOR_ARCHITECTURE_AMD64;
    Testing().processid = 0x12345678;
    Testing().moduleimage = StampedHeader(0x07);
    Testing().modulepath = own;
    Testing().temppath = dir.path + "/";
    Testing().commandline = "\"" + own + "\"";
  }
  std::string TempPath() const { return dir.path + "/setup-444C.exe"; }
};

bool Called(PlatformOp op) { return TestingCount(op) != 0; }

}  // namespace

TEST(RunLoader, StartUpFailuresEndWithTheirCodeAndTouchNothing) {
  struct Case {
    const char* name;
    void (*arrange)();
    uint32_t exitcode;
    const char* message;
    int asked;  // 0: neither the own path nor the temporary directory asked for; 1: the own path; 2: both
  } cases[] = {
      {"GetVersionExA fails", [] { Testing().faults = {{Op_GetVersionExA, 1, 1150}}; }, 255,
       "GetVersionEx() failed => 1150\n", 0},
      {"no MZ", [] { Testing().moduleimage = StampedHeader(0x07, 0x4600, "pxr5", "ZM"); }, 254,
       "Executable has no valid MZ/pwr5 signature\n", 0},
      // The flags would give no build either; the magic is checked first.
      {"wrong magic", [] { Testing().moduleimage = StampedHeader(0x00, 0x4600, "pwr5"); }, 254,
       "Executable has no valid MZ/pwr5 signature\n", 0},
      {"no flags", [] { Testing().moduleimage = StampedHeader(0x00); }, 253,
       "No installer available for the current platform\n", 0},
      {"only bits 3 to 7", [] { Testing().moduleimage = StampedHeader(0xF8); }, 253,
       "No installer available for the current platform\n", 0},
      {"Windows 98 and NT builds only",
       [] {
         Testing().platformid = VER_PLATFORM_WIN32_WINDOWS;
         Testing().moduleimage = StampedHeader(0x06);
       },
       253, "No installer available for the current platform\n", 0},
      {"x86 and an x64 build only",
       [] {
         Testing().architecture = PROCESSOR_ARCHITECTURE_INTEL;
         Testing().moduleimage = StampedHeader(0x04);
       },
       253, "No installer available for the current platform\n", 0},
      {"ARM64 and NT builds only",
       [] {
         Testing().architecture = PROCESSOR_ARCHITECTURE_ARM64;
         Testing().moduleimage = StampedHeader(0x06);
       },
       253, "No installer available for the current platform\n", 0},
      {"GetModuleFileNameA fails", [] { Testing().faults = {{Op_GetModuleFileNameA, 1, 122}}; }, 255,
       "GetModuleFileName() failed => 122\n", 1},
      // A result that fills the buffer is a cut path, perhaps another file's.
      {"own path fills its buffer", [] { Testing().modulepath = "/" + std::string(259, 's'); }, 255,
       "GetModuleFileName() failed => 122\n", 1},
      {"GetModuleFileNameW fails", [] { Testing().faults = {{Op_GetModuleFileNameW, 1, 5}}; }, 255,
       "GetModuleFileNameW() failed => 5\n", 1},
      {"wide own path does not fit",
       [] { Testing().widemodulepath = "/" + std::string(300, 's') + "/" + std::string(300, 's'); }, 255,
       "GetModuleFileNameW() failed => 122\n", 1},
      {"GetTempPathA fails", [] { Testing().temppath = ""; }, 255, "GetTempPath() failed => 3\n", 2},
      {"GetTempPathW fails", [] { Testing().faults = {{Op_GetTempPathW, 1, 5}}; }, 255,
       "GetTempPathW() failed => 5\n", 2},
      {"lossy temporary directory without a short form",
       [] {
         Testing().temppath = "/x/?/";
         Testing().widetemppath = "/x/\xE6\x97\xA5/";
         Testing().shortnames = {{*Testing().widetemppath, *Testing().widetemppath}};
       },
       255, "No short (8.3) name for the temporary directory, which the ANSI code page cannot hold => 1113\n", 2},
      // Directory and base name each fit, together they do not.
      {"temporary path does not fit",
       [] {
         Testing().temppath = "/" + std::string(400, 't') + "/";
         Testing().modulepath = "/" + std::string(200, 's') + ".exe";
       },
       255, "Temporary path longer than 519 bytes => 206\n", 2},
      // The formatter fails on the temporary name: said as it is, not as a
      // path too long.
      {"temporary name not formatted", [] { Testing().faults = {{Op_wvsprintfA, 1, 87}}; }, 255,
       "wsprintf() failed => 87\n", 2},
      // The directory does not fit the buffer, which then holds no directory.
      {"temporary directory too long", [] { Testing().temppath = "/" + std::string(600, 't') + "/"; }, 255,
       "GetTempPath() failed => 122\n", 2},
  };
  for (const Case& c : cases) {
    LoaderRun run;
    c.arrange();
    EXPECT_EQ(c.exitcode, RunLoader()) << c.name;
    EXPECT_EQ(c.exitcode, ExitCode) << c.name;
    EXPECT_EQ(std::vector<std::string>{c.message}, Testing().messages) << c.name;
    // Once more by the report, which looks for the "Errors" value.
    EXPECT_EQ(c.asked >= 1 ? 2u : 1u, TestingCount(Op_GetModuleFileNameA)) << c.name;
    EXPECT_EQ(c.asked >= 2, Called(Op_GetTempPathA)) << c.name;
    // Nothing written, nothing removed, nothing left open, and the process
    // is not ended by RunLoader itself.
    for (PlatformOp op : {Op_CreateFileA, Op_WriteFile, Op_SetFileAttributesA, Op_DeleteFileA, Op_CreateProcessW,
                          Op_ExitProcess, Op_Sleep})
      EXPECT_FALSE(Called(op)) << c.name << ": " << OpName(op);
    EXPECT_TRUE(TestingNothingOpen()) << c.name << ": " << TestingOpenSummary();
  }
}

TEST(RunLoader, StepsInOrder) {
  LoaderRun run;
  Testing().faults = {{Op_GetTempPathA, 1, 5}};
  EXPECT_EQ(255u, RunLoader());
  const std::string message = "GetTempPath() failed => 5\n";
  EXPECT_EQ((std::vector<std::string>{"GetCurrentProcessId", "GetProcessHeap", "GetVersionExA",
                                      "GetModuleHandleA(kernel32.dll)", "GetProcAddress(GetNativeSystemInfo)",
                                      "GetModuleHandleA", "GetModuleFileNameA(260)", "GetModuleFileNameW(520)",
                                      "MultiByteToWideChar", "GetTempPathA(520)",
                                      "OutputDebugStringA(" + message + ")", "GetProcessWindowStation",
                                      "GetUserObjectInformationA(1)", "GetModuleFileNameA(260)",
                                      "GetFileVersionInfoSizeA(" + run.own + ")", "MessageBoxA(" + message + ")"}),
            CallTrace());
  EXPECT_EQ(1u, Testing().nativesysteminfocalls);
}

TEST(RunLoader, WithoutGetNativeSystemInfoTheClassRestsOnGetSystemInfo) {
  for (bool missing : {false, true}) {
    LoaderRun run;
    Testing().nativesysteminfomissing = missing;
    Testing().architecture = PROCESSOR_ARCHITECTURE_INTEL;
    Testing().moduleimage = StampedHeader(0x04);
    EXPECT_EQ(253u, RunLoader());
    EXPECT_EQ(missing ? 0u : 1u, Testing().nativesysteminfocalls);
    EXPECT_EQ(missing ? 1u : 0u, TestingCount(Op_GetSystemInfo));
  }
}

TEST(RunLoader, AFailedExtractionIsReportedAndTheCopyStillRemoved) {
  LoaderRun run;  // the own file does not exist
  EXPECT_EQ(250u, RunLoader());
  EXPECT_EQ(std::vector<std::string>{"Extraction of the installer failed => 2\n"}, Testing().messages);
  EXPECT_FALSE(Called(Op_CreateProcessW));
  // The removal step tries the formed path once: it was never created.
  EXPECT_EQ(std::vector<std::string>{run.TempPath()}, CallsOf(Op_SetFileAttributesA));
  EXPECT_EQ(std::vector<std::string>{run.TempPath()}, CallsOf(Op_DeleteFileA));
  EXPECT_TRUE(Testing().sleeps.empty());
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

TEST(RunLoader, WideCallsOnlyOnWindowsNt) {
  // The 95/98/Me family has no wide calls: its ANSI path is used as it is.
  // On NT the path without a short form is read as the wide call gave it
  // (no such file here), and the copy is named with '_' for the character
  // that the code page lacks, not the '?' that no file name may hold.
  for (DWORD platformid : {VER_PLATFORM_WIN32_WINDOWS, VER_PLATFORM_WIN32_NT}) {
    LoaderRun run;
    Testing().platformid = platformid;
    Testing().modulepath = run.dir.File("?.exe");
    Testing().widemodulepath = run.dir.File("\xE6\x97\xA5.exe");
    Testing().faults = {{Op_GetShortPathNameW, 1, ERROR_FILE_NOT_FOUND}};
    const bool nt = platformid == VER_PLATFORM_WIN32_NT;
    EXPECT_EQ(250u, RunLoader()) << platformid;
    EXPECT_EQ(nt ? 1u : 0u, TestingCount(Op_GetModuleFileNameW)) << platformid;
    EXPECT_EQ(nt ? 1u : 0u, TestingCount(Op_GetShortPathNameW)) << platformid;
    EXPECT_EQ(nt ? 1u : 0u, TestingCount(Op_GetTempPathW)) << platformid;
    EXPECT_EQ(nt ? std::vector<std::string>{run.dir.File("\xE6\x97\xA5.exe")} : std::vector<std::string>{},
              CallsOf(Op_CreateFileW))
        << platformid;
    EXPECT_EQ(std::vector<std::string>{run.dir.File(nt ? "_-444C.exe" : "?-444C.exe")}, CallsOf(Op_DeleteFileA))
        << platformid;
  }
}

TEST(LoaderMain, EndsTheProcessWithTheExitCode) {
  LoaderRun run;
  Testing().moduleimage = StampedHeader(0x00);
  LoaderMain();
  ASSERT_TRUE(Testing().exitcode.has_value());
  EXPECT_EQ(253u, *Testing().exitcode);
}
