#include "launcher/report_error.h"

#include "platform/platform.h"

#define REPORT_SIZE 1024u

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
  Sys().MessageBoxA(NULL, text, "PXQ Loader", MB_OK | MB_ICONERROR);
}
