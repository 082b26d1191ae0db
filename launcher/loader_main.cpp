#include "launcher/loader_main.h"

#include "platform/heap.h"
#include "launcher/ansi_path.h"
#include "launcher/launch_installer.h"
#include "launcher/platform_selection.h"
#include "launcher/report_error.h"
#include "launcher/temporary_copy.h"
#include "package/archive_reader.h"
#include "package/records.h"
#include "platform/platform.h"

#define OWN_PATH_SIZE 260u

uint32_t ExitCode;

// The build chosen from the own image's stamp, or 253/254 with its message.
// The flags are read only when "MZ" and "pxr5" are both in place.
static bool ChooseInstaller(PlatformClass platformclass, uint32_t* idlow, uint32_t* archiveoffset) {
  const uint8_t* image = reinterpret_cast<const uint8_t*>(Sys().GetModuleHandleA(NULL));
  if (image == NULL || ReadLe16(image) != DOS_SIGNATURE || ReadLe32(image + STAMP_OFFSET_MAGIC) != STAMP_MAGIC) {
    ReportError("Executable has no valid MZ/pwr5 signature\n");
    ExitCode = 254;
    return false;
  }
  uint64_t id = SelectInstallerEntry(platformclass, image[STAMP_OFFSET_FLAGS]);
  if (id == NO_INSTALLER_ID) {
    ReportError("No installer available for the current platform\n");
    ExitCode = 253;
    return false;
  }
  *idlow = static_cast<uint32_t>(id);
  *archiveoffset = ReadLe32(image + STAMP_OFFSET_ARCHIVE);
  return true;
}

// On Windows NT, whose ANSI calls give a lossy path where the code page
// cannot hold it: makes `path` name what the wide call (`widecall`, which
// returned `widelength` and `widepath`) named. False with the failure
// reported and ExitCode 255. GetLastError is the first call made here.
static bool MakeExact(DWORD widelength, const char* widecall, const WCHAR* widepath, char* path, uint32_t size,
                      const char* what) {
  DWORD error = widelength == 0 ? Sys().GetLastError() : 0;
  if (widelength >= WIDE_PATH_SIZE) error = ERROR_INSUFFICIENT_BUFFER;
  if (error != 0) {
    ReportError("%s() failed => %u\n", widecall, error);
  } else {
    error = UseExactAnsiPath(path, size, widepath);
    if (error == 0) return true;
    ReportError("No short (8.3) name for the %s, which the ANSI code page cannot hold => %u\n", what, error);
  }
  ExitCode = 255;
  return false;
}

// Steps 1 to 11: ends with the installer run, or with a failure reported.
// Leaves the temporary path empty unless it has been formed.
static void LoadAndLaunch(char* ownpath, char* temppath) {
  DWORD processid = Sys().GetCurrentProcessId();
  temppath[0] = 0;
  TakeProcessHeap();

  OSVERSIONINFOA version;
  ZeroBytes(&version, sizeof(version));
  version.dwOSVersionInfoSize = PXQ_OSVERSIONINFOA_SIZE;
  if (!Sys().GetVersionExA(&version)) {
    DWORD error = Sys().GetLastError();
    ReportError("GetVersionEx() failed => %u\n", error);
    ExitCode = 255;
    return;
  }

  // The 32-bit loader on 64-bit Windows must see the machine's processor,
  // not the one it is emulated on; systems without the call have only one.
  SYSTEM_INFO system;
  ZeroBytes(&system, sizeof(system));
  FARPROC found = Sys().GetProcAddress(Sys().GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
  // Through the generic function type, which converts to any other.
  GetNativeSystemInfoProc nativesysteminfo =
      reinterpret_cast<GetNativeSystemInfoProc>(reinterpret_cast<void (*)(void)>(found));
  if (nativesysteminfo != NULL)
    nativesysteminfo(&system);
  else
    Sys().GetSystemInfo(&system);
  PlatformClass platformclass = ClassifyPlatform(version.dwPlatformId, system.wProcessorArchitecture);

  uint32_t idlow = 0;
  uint32_t archiveoffset = 0;
  if (!ChooseInstaller(platformclass, &idlow, &archiveoffset)) return;

  DWORD ownlength = Sys().GetModuleFileNameA(NULL, ownpath, OWN_PATH_SIZE);
  if (ownlength == 0 || ownlength >= OWN_PATH_SIZE) {
    // A result that fills the buffer is a cut path, which may name another
    // file; older systems do not say so through GetLastError.
    DWORD error = ownlength == 0 ? Sys().GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    ReportError("GetModuleFileName() failed => %u\n", error);
    ExitCode = 255;
    return;
  }
  // The 95/98/Me family has no wide calls and no lossy paths.
  const bool widecalls = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  WCHAR widepath[WIDE_PATH_SIZE];
  if (widecalls && !MakeExact(Sys().GetModuleFileNameW(NULL, widepath, WIDE_PATH_SIZE), "GetModuleFileNameW",
                              widepath, ownpath, OWN_PATH_SIZE, "own path")) {
    return;
  }

  DWORD templength = Sys().GetTempPathA(TEMPORARY_PATH_SIZE, temppath);
  if (templength == 0) {
    DWORD error = Sys().GetLastError();
    temppath[0] = 0;
    ReportError("GetTempPath() failed => %u\n", error);
    ExitCode = 255;
    return;
  }
  if (templength >= TEMPORARY_PATH_SIZE) {
    // The directory did not fit and the buffer holds no directory: a name
    // formed there would put the copy in the current directory.
    temppath[0] = 0;
    ReportError("GetTempPath() failed => %u\n", ERROR_INSUFFICIENT_BUFFER);
    ExitCode = 255;
    return;
  }
  if (widecalls && !MakeExact(Sys().GetTempPathW(WIDE_PATH_SIZE, widepath), "GetTempPathW", widepath, temppath,
                              TEMPORARY_PATH_SIZE, "temporary directory")) {
    temppath[0] = 0;
    return;
  }
  // Nothing could be extracted without a whole name: say so now, not after decoding.
  DWORD nameerror = FormTemporaryPath(temppath, ownpath, processid);
  if (nameerror == ERROR_FILENAME_EXCED_RANGE) {
    ReportError("Temporary path longer than 519 bytes => %u\n", nameerror);
    ExitCode = 255;
    return;
  }
  if (nameerror != 0) {
    ReportError("wsprintf() failed => %u\n", nameerror);
    ExitCode = 255;
    return;
  }

  uint32_t resultcode = 0;
  if (ExtractPackageEntry(ownpath, archiveoffset, idlow, INSTALLER_ID_HIGH, temppath, &resultcode) == 0) {
    // Callers read exit code 0 as success: a failed extraction is a failure.
    ReportError("Extraction of the installer failed => %u\n", resultcode);
    ExitCode = 250;
    return;
  }
  // From here until its process is created, the copy is held so that no
  // one else can write or delete it: what runs is what was extracted.
  HANDLE heldcopy = Sys().CreateFileA(temppath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, NULL);
  if (heldcopy == INVALID_HANDLE_VALUE) {
    DWORD error = Sys().GetLastError();
    ReportError("CreateFile(%s) failed => %u\n", temppath, error);
    ExitCode = 252;
    return;
  }
  LaunchInstaller(temppath, ownpath, heldcopy, widecalls);
}

uint32_t RunLoader() {
  ExitCode = 0;
  char ownpath[OWN_PATH_SIZE];
  char temppath[TEMPORARY_PATH_SIZE];
  ownpath[0] = 0;
  LoadAndLaunch(ownpath, temppath);
  RemoveTemporaryCopy(temppath);
  return ExitCode;
}

// The Windows stub has its own (launcher/loader_main_win32.cpp): it installs
// the win32 backend before anything runs.
#ifndef _WIN32
extern "C" void LoaderMain() { Sys().ExitProcess(RunLoader()); }
#endif
