#include "platform/platform.h"

const Platform* activePlatform = nullptr;

const Platform* UsePlatform(const Platform* platform) {
  const Platform* previous = activePlatform;
  activePlatform = platform;
  return previous;
}

int FormatText(char* output, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = Sys().wvsprintfA(output, format, args);
  va_end(args);
  return written;
}
