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

const WCHAR* ExactOwnPath;

// A failed start-up step: reported with its error number, exit code 255.
static __attribute__((noinline)) void FailStartUp(const char* format, DWORD error) {
  ReportError(format, error);
  ExitCode = 255;
}

// The loader's own path in UTF-16, as GetModuleFileNameW gave it.
static WCHAR widepathofown[WIDE_PATH_SIZE];

// Checks what a wide call (`widecall`) returned: false with the failure
// reported and ExitCode 255 when it failed or did not fit. GetLastError is
// the first call made here.
static bool WideCallAnswered(DWORD widelength, const char* widecall) {
  DWORD error = widelength == 0 ? Sys().GetLastError() : 0;
  if (widelength >= WIDE_PATH_SIZE) error = ERROR_INSUFFICIENT_BUFFER;
  if (error == 0) return true;
  ReportError("%s() failed => %u\n", widecall, error);
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
    FailStartUp("GetVersionEx() failed => %u\n", error);
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
    FailStartUp("GetModuleFileName() failed => %u\n", error);
    return;
  }
  // The 95/98/Me family has no wide calls and no lossy paths. On Windows
  // NT a path that the ANSI code page cannot hold is used in its short
  // form; where it has none that the code page holds (short names turned
  // off on the volume), the own file is read, and its path handed to the
  // installer, exactly as the wide call gave it. `ownpath` then serves only
  // to name the copy.
  const bool widecalls = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  if (widecalls) {
    if (!WideCallAnswered(Sys().GetModuleFileNameW(NULL, widepathofown, WIDE_PATH_SIZE), "GetModuleFileNameW"))
      return;
    if (UseExactAnsiPath(ownpath, OWN_PATH_SIZE, widepathofown) != 0) ExactOwnPath = widepathofown;
  }

  DWORD templength = Sys().GetTempPathA(TEMPORARY_PATH_SIZE, temppath);
  if (templength == 0 || templength >= TEMPORARY_PATH_SIZE) {
    // A directory that did not fit leaves no directory in the buffer: a name
    // formed there would put the copy in the current directory.
    DWORD error = templength == 0 ? Sys().GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    temppath[0] = 0;
    FailStartUp("GetTempPath() failed => %u\n", error);
    return;
  }
  if (widecalls) {
    WCHAR widepath[WIDE_PATH_SIZE];
    if (!WideCallAnswered(Sys().GetTempPathW(WIDE_PATH_SIZE, widepath), "GetTempPathW")) {
      temppath[0] = 0;
      return;
    }
    DWORD error = UseExactAnsiPath(temppath, TEMPORARY_PATH_SIZE, widepath);
    if (error != 0) {
      temppath[0] = 0;
      FailStartUp("No short (8.3) name for the temporary directory, which the ANSI code page cannot hold => %u\n",
                  error);
      return;
    }
  }
  // Nothing could be extracted without a whole name: say so now, not after decoding.
  DWORD nameerror = FormTemporaryPath(temppath, ownpath, processid);
  if (nameerror == ERROR_FILENAME_EXCED_RANGE) {
    FailStartUp("Temporary path longer than 519 bytes => %u\n", nameerror);
    return;
  }
  if (nameerror != 0) {
    FailStartUp("wsprintf() failed => %u\n", nameerror);
    return;
  }

  uint32_t resultcode = 0;
  if (ExtractPackageEntry(ownpath, archiveoffset, idlow, INSTALLER_ID_HIGH, temppath, &resultcode, ExactOwnPath) ==
      0) {
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
  LaunchInstaller(temppath, ownpath, heldcopy, widecalls, ExactOwnPath);
}

uint32_t RunLoader() {
  ExitCode = 0;
  ExactOwnPath = NULL;
  char ownpath[OWN_PATH_SIZE];
  char temppath[TEMPORARY_PATH_SIZE];
  ownpath[0] = 0;
  LoadAndLaunch(ownpath, temppath);
  RemoveTemporaryCopy(temppath);
  ExactOwnPath = NULL;  // a later report of this process names no file of a run that ended
  return ExitCode;
}

// The Windows stub has its own (launcher/loader_main_win32.cpp): it installs
// the win32 backend before anything runs.
#ifndef _WIN32
extern "C" void LoaderMain() { Sys().ExitProcess(RunLoader()); }
#endif
