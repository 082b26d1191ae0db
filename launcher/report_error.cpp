#include "launcher/report_error.h"

#include "launcher/loader_main.h"
#include "launcher/version_arguments.h"
#include "platform/platform.h"

#define REPORT_SIZE 1024u
#define OWN_PATH_SIZE 260u

// A message box waits for a click. Where no one can see it (a service, a
// window station that is not visible) it would hold an unattended install
// until its deployment tool gives up, so there the exit code alone reports
// the failure; and so it does everywhere when the loader file was packed to
// be silent. A station that cannot be asked about (the 95/98/Me family has
// none) counts as visible, and so does a loader whose own file cannot be
// named or read: the box is shown as before.
static bool ErrorBoxWanted() {
  HWINSTA station = Sys().GetProcessWindowStation();
  USEROBJECTFLAGS flags;
  DWORD needed = 0;
  if (station != NULL && Sys().GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof(flags), &needed) &&
      (flags.dwFlags & WSF_VISIBLE) == 0)
    return false;
  // Where only the exact path names the own file, it is read through that.
  char ownpath[OWN_PATH_SIZE];
  DWORD length = Sys().GetModuleFileNameA(NULL, ownpath, OWN_PATH_SIZE);
  if (ExactOwnPath == NULL && (length == 0 || length >= OWN_PATH_SIZE)) return true;
  bool silent = false;
  char* arguments = ReadVersionArguments(ownpath, NULL, &silent, ExactOwnPath);
  if (arguments != NULL) Sys().GlobalFree(arguments);
  return !silent;
}

void ReportError(const char* format, ...) {
  char text[REPORT_SIZE];
  text[0] = 0;
  va_list args;
  va_start(args, format);
  const int written = Sys().wvsprintfA(text, format, args);
  va_end(args);
  // Every message has at least its newline: nothing written means the
  // formatter failed. The format itself still names the call that failed,
  // which says more than an empty box.
  if (written <= 0) {
    uint32_t i = 0;
    for (; i < REPORT_SIZE - 1 && format[i] != 0; ++i) text[i] = format[i];
    text[i] = 0;
  }
  Sys().OutputDebugStringA(text);
  if (ErrorBoxWanted()) Sys().MessageBoxA(NULL, text, "PXQ Loader", MB_OK | MB_ICONERROR);
}
