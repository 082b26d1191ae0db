// The emulated process: module, system information, and process services.
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform_fixture.h"
#include "support/fifo_guard.h"

TEST(Module, SetModuleGivesItsImageAndAbsolutePath) {
  ScratchDir dir;
  // A file shorter than a DOS header: the rest of the image reads as zeros.
  WriteFileText(dir.File("short.exe"), "MZ");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  const DWORD result = PosixSetModule("short.exe");
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(result, ERROR_SUCCESS);

  const uint8_t* image = static_cast<const uint8_t*>(Posix().GetModuleHandleA(nullptr));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image[0], 'M');
  EXPECT_EQ(image[1], 'Z');
  for (int i = 2; i < 64; ++i) EXPECT_EQ(image[i], 0) << i;

  char real[4096];
  ASSERT_NE(realpath(dir.File("short.exe").c_str(), real), nullptr);
  const std::string expected = real;
  char path[260];
  EXPECT_EQ(Posix().GetModuleFileNameA(nullptr, path, sizeof(path)), expected.size());
  EXPECT_EQ(std::string(path), expected);
  EXPECT_EQ(Posix().GetModuleFileNameA(Posix().GetModuleHandleA(nullptr), path, sizeof(path)), expected.size());

  // Too small: cut and terminated, the buffer's size, ERROR_INSUFFICIENT_BUFFER.
  memset(path, '#', sizeof(path));
  EXPECT_EQ(Posix().GetModuleFileNameA(nullptr, path, 5), 5u);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(path), expected.substr(0, 4));
  EXPECT_EQ(path[5], '#');
  // Exactly the length: no room for the terminator either.
  const DWORD exact = static_cast<DWORD>(expected.size());
  EXPECT_EQ(Posix().GetModuleFileNameA(nullptr, path, exact), exact);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Posix().GetModuleFileNameA(nullptr, path, 0), 0u);

  // A longer file: exactly its first 64 bytes.
  std::string longer(200, 'x');
  for (int i = 0; i < 200; ++i) longer[i] = static_cast<char>(i);
  WriteFileText(dir.File("long.exe"), longer);
  ASSERT_EQ(PosixSetModule(dir.File("long.exe").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(memcmp(Posix().GetModuleHandleA(nullptr), longer.data(), 64), 0);

  // A module that cannot be read leaves the previous one in place.
  EXPECT_EQ(PosixSetModule(dir.File("absent.exe").c_str()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(memcmp(Posix().GetModuleHandleA(nullptr), longer.data(), 64), 0);
  // Nor does anything but a regular file; a FIFO is refused at once, not
  // after a writer came.
  const std::string fifo = dir.File("fifo.exe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  DWORD fiforesult = 0;
  EXPECT_TRUE(ReturnsWithoutAWriter(fifo, [&] { fiforesult = PosixSetModule(fifo.c_str()); }));
  EXPECT_EQ(fiforesult, ERROR_ACCESS_DENIED);
  EXPECT_EQ(PosixSetModule(dir.path.c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(memcmp(Posix().GetModuleHandleA(nullptr), longer.data(), 64), 0);
  ASSERT_NE(realpath(dir.File("long.exe").c_str(), real), nullptr);
  EXPECT_EQ(Posix().GetModuleFileNameA(nullptr, path, sizeof(path)), strlen(real));
  EXPECT_STREQ(path, real);
}

TEST(Module, Kernel32ExportsGetNativeSystemInfoOnly) {
  HMODULE kernel = Posix().GetModuleHandleA("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(Posix().GetModuleHandleA("KERNEL32.DLL"), kernel);
  EXPECT_EQ(Posix().GetModuleHandleA("user32.dll"), nullptr);

  FARPROC found = Posix().GetProcAddress(kernel, "GetNativeSystemInfo");
  ASSERT_NE(found, nullptr);
  auto native = reinterpret_cast<GetNativeSystemInfoProc>(reinterpret_cast<void (*)(void)>(found));
  SYSTEM_INFO nativeInfo;
  memset(&nativeInfo, 0xAB, sizeof(nativeInfo));
  native(&nativeInfo);
  SYSTEM_INFO info;
  Posix().GetSystemInfo(&info);
  EXPECT_EQ(nativeInfo.wProcessorArchitecture, info.wProcessorArchitecture);
#if defined(__x86_64__)
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
#elif defined(__aarch64__)
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_ARM64);
#endif
  EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
  EXPECT_EQ(nativeInfo.dwNumberOfProcessors, info.dwNumberOfProcessors);

  Posix().SetLastError(0);
  EXPECT_EQ(Posix().GetProcAddress(kernel, "GetSystemInfoEx"), nullptr);
  EXPECT_EQ(Posix().GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(Posix().GetProcAddress(kernel, reinterpret_cast<LPCSTR>(uintptr_t{1})), nullptr);
}

TEST(System, VersionRecordSizes) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_EQ(sizeof(info), PXQ_OSVERSIONINFOA_SIZE);
  EXPECT_TRUE(Posix().GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_GE(info.dwMajorVersion, 5u);

  // The extended record (156 bytes) is accepted too.
  alignas(8) uint8_t extended[156 + 8];
  memset(extended, 0xEE, sizeof(extended));
  reinterpret_cast<OSVERSIONINFOA*>(extended)->dwOSVersionInfoSize = 156;
  EXPECT_TRUE(Posix().GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(extended)));
  EXPECT_EQ(extended[156], 0xEE);  // nothing written past the record

  const DWORD wrong[] = {0, 147, 149, 155, 157, 284};
  for (DWORD size : wrong) {
    info.dwOSVersionInfoSize = size;
    EXPECT_FALSE(Posix().GetVersionExA(&info)) << size;
    EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST(System, ProcessServices) {
  EXPECT_EQ(Posix().GetCurrentProcessId(), static_cast<DWORD>(getpid()));

  const auto start = std::chrono::steady_clock::now();
  Posix().Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  Posix().OutputDebugStringA("nothing to see\n");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Posix().MessageBoxA(nullptr, "GetTempPath() failed => 5\n", "PXQ Loader", MB_OK | MB_ICONERROR), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "PXQ Loader: GetTempPath() failed => 5\n");
}

TEST(SystemDeathTest, ExitProcessEndsWithTheCode) {
  EXPECT_EXIT(Posix().ExitProcess(251), ::testing::ExitedWithCode(251), "");
}
