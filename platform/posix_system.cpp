// The running process as the loader sees it: its module (a loader file chosen
// at start), the system's version and processor, and the process services.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/posix_internal.h"

#define ERROR_MOD_NOT_FOUND_NUMBER 126u
#define IDOK_RESULT 1

// The module's first bytes, as the loaded image would begin with them.
static const size_t moduleImageSize = 64;
alignas(16) static uint8_t moduleImage[moduleImageSize];
static std::string modulePath;  // absolute; empty while no module is set

// GetModuleHandleA("kernel32.dll") hands out the address of this token.
static const char kernelModuleToken = 'k';

DWORD PosixSetModule(const char* path) {
  if (path == NULL) return ERROR_INVALID_PARAMETER;
  char* absolute = realpath(path, NULL);
  if (absolute == NULL) return WindowsErrorFromErrno(errno);
  std::string resolved(absolute);
  free(absolute);
  // O_NONBLOCK: a FIFO would otherwise hold the open until a writer comes.
  // Only a regular file can be a module; anything else is refused as
  // CreateFileA refuses it.
  int fd = open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return WindowsErrorFromErrno(errno);
  struct stat status;
  DWORD refused = 0;
  if (fstat(fd, &status) != 0) {
    refused = WindowsErrorFromErrno(errno);
  } else if (!S_ISREG(status.st_mode)) {
    refused = ERROR_ACCESS_DENIED;
  }
  if (refused != 0) {
    close(fd);
    return refused;
  }
  uint8_t image[moduleImageSize] = {};
  size_t filled = 0;
  while (filled < moduleImageSize) {
    ssize_t count = read(fd, image + filled, moduleImageSize - filled);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      DWORD error = WindowsErrorFromErrno(errno);
      close(fd);
      return error;
    }
    if (count == 0) break;  // a shorter file: the rest stays zero
    filled += static_cast<size_t>(count);
  }
  close(fd);
  memcpy(moduleImage, image, moduleImageSize);
  modulePath = resolved;
  return ERROR_SUCCESS;
}

HMODULE PosixGetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == NULL) return moduleImage;
  if (strcasecmp(lpModuleName, "kernel32.dll") == 0 || strcasecmp(lpModuleName, "kernel32") == 0) {
    return const_cast<char*>(&kernelModuleToken);
  }
  PosixSetLastError(ERROR_MOD_NOT_FOUND_NUMBER);
  return NULL;
}

DWORD PosixGetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule != NULL && hModule != moduleImage) {
    PosixSetLastError(ERROR_MOD_NOT_FOUND_NUMBER);
    return 0;
  }
  if (modulePath.empty()) {
    PosixSetLastError(ERROR_MOD_NOT_FOUND_NUMBER);
    return 0;
  }
  const size_t length = modulePath.size();
  if (lpFilename == NULL || nSize == 0) {
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (length + 1 > nSize) {
    // Cut to the buffer, still terminated; the result is the buffer's size.
    memcpy(lpFilename, modulePath.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  memcpy(lpFilename, modulePath.c_str(), length + 1);
  return static_cast<DWORD>(length);
}

static WORD HostArchitecture() {
  struct utsname name;
  if (uname(&name) != 0) return PROCESSOR_ARCHITECTURE_UNKNOWN;
  const char* machine = name.machine;
  if (strcmp(machine, "x86_64") == 0 || strcmp(machine, "amd64") == 0) return PROCESSOR_ARCHITECTURE_AMD64;
  if (strcmp(machine, "i386") == 0 || strcmp(machine, "i486") == 0 || strcmp(machine, "i586") == 0 ||
      strcmp(machine, "i686") == 0) {
    return PROCESSOR_ARCHITECTURE_INTEL;
  }
  if (strcmp(machine, "aarch64") == 0 || strcmp(machine, "arm64") == 0) return PROCESSOR_ARCHITECTURE_ARM64;
  return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

static void FillSystemInfo(LPSYSTEM_INFO info) {
  if (info == NULL) return;
  memset(info, 0, sizeof(*info));
  info->wProcessorArchitecture = HostArchitecture();
  long pageSize = sysconf(_SC_PAGESIZE);
  info->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  if (processors < 1) processors = 1;
  if (processors > 64) processors = 64;
  info->dwNumberOfProcessors = static_cast<DWORD>(processors);
  info->dwActiveProcessorMask =
      processors >= static_cast<long>(8 * sizeof(ULONG_PTR)) ? ~ULONG_PTR{0} : (ULONG_PTR{1} << processors) - 1;
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t{0x10000});
  info->lpMaximumApplicationAddress =
      reinterpret_cast<LPVOID>(sizeof(void*) == 8 ? uintptr_t(0x00007FFFFFFEFFFFull) : uintptr_t(0x7FFEFFFFu));
  info->dwAllocationGranularity = 65536;
  switch (info->wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      info->dwProcessorType = 8664;  // PROCESSOR_AMD_X8664
      break;
    case PROCESSOR_ARCHITECTURE_INTEL:
      info->dwProcessorType = 586;  // PROCESSOR_INTEL_PENTIUM
      break;
    default:
      info->dwProcessorType = 0;
      break;
  }
}

// The host process runs natively, so both calls see the same processor.
void PosixGetSystemInfo(LPSYSTEM_INFO lpSystemInfo) { FillSystemInfo(lpSystemInfo); }

static void PXQ_WINAPI PosixGetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) { FillSystemInfo(lpSystemInfo); }

FARPROC PosixGetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != &kernelModuleToken && hModule != moduleImage) {
    PosixSetLastError(ERROR_MOD_NOT_FOUND_NUMBER);
    return NULL;
  }
  // Names below 0x10000 are ordinals: none is exported.
  const bool byName = reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000;
  if (hModule == &kernelModuleToken && byName && strcmp(lpProcName, "GetNativeSystemInfo") == 0) {
    // Through void (*)(void), the type that converts to and from any function type.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&PosixGetNativeSystemInfo));
  }
  PosixSetLastError(ERROR_PROC_NOT_FOUND);
  return NULL;
}

// Windows 8's numbers: what Windows reports to a program without a manifest.
BOOL PosixGetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != PXQ_OSVERSIONINFOA_SIZE && size != PXQ_OSVERSIONINFOA_SIZE + 8) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpVersionInformation->dwMajorVersion = 6;
  lpVersionInformation->dwMinorVersion = 2;
  lpVersionInformation->dwBuildNumber = 9200;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
  if (size == PXQ_OSVERSIONINFOA_SIZE + 8) {
    // OSVERSIONINFOEXA's tail: service pack 0.0, no suites, a workstation.
    uint8_t* tail = reinterpret_cast<uint8_t*>(lpVersionInformation) + PXQ_OSVERSIONINFOA_SIZE;
    memset(tail, 0, 8);
    tail[6] = 1;  // wProductType VER_NT_WORKSTATION
  }
  return TRUE;
}

DWORD PosixGetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

void PosixSleep(DWORD dwMilliseconds) {
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void PosixExitProcess(UINT uExitCode) { exit(static_cast<int>(uExitCode)); }

// The host has no debugger channel for this.
void PosixOutputDebugStringA(LPCSTR lpOutputString) { (void)lpOutputString; }

// No window on the host: the text goes to standard error, and the "box" is
// closed at once with OK.
int PosixMessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  (void)hWnd;
  (void)lpCaption;
  (void)uType;
  const char* text = lpText != NULL ? lpText : "";
  const size_t length = strlen(text);
  fprintf(stderr, "PXQ Loader: %s%s", text, length == 0 || text[length - 1] != '\n' ? "\n" : "");
  fflush(stderr);
  return IDOK_RESULT;
}

// The host's terminal stands for the interactive desktop: the process's
// window station is visible, and a "box" is a line on standard error.
#define PXQ_HOST_WINDOW_STATION reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x5754))

HWINSTA PosixGetProcessWindowStation(void) { return PXQ_HOST_WINDOW_STATION; }

BOOL PosixGetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD lpnLengthNeeded) {
  if (hObj != PXQ_HOST_WINDOW_STATION) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (nIndex != UOI_FLAGS) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpnLengthNeeded != NULL) *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
  if (pvInfo == NULL || nLength < sizeof(USEROBJECTFLAGS)) {
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  USEROBJECTFLAGS flags = {FALSE, FALSE, WSF_VISIBLE};
  memcpy(pvInfo, &flags, sizeof(flags));
  return TRUE;
}
