#include "launcher/report_error.h"

#include "platform/platform.h"

void ReportError(const char* format, ...) {
  char text[1024];
  text[0] = 0;
  va_list args;
  va_start(args, format);
  Sys().wvsprintfA(text, format, args);
  va_end(args);
  Sys().OutputDebugStringA(text);
  Sys().MessageBoxA(NULL, text, "PXQ Loader", MB_OK | MB_ICONERROR);
}
