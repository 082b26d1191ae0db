// The Windows stub's entry point. The system calls it directly: no C runtime
// start-up runs before it, so it installs the win32 backend itself first.
#include "launcher/loader_main.h"
#include "platform/win32.h"

// The system enters with the stack aligned to 4 bytes only.
extern "C" __attribute__((force_align_arg_pointer)) void LoaderMain() {
  const Platform* platform = Win32Platform();
  // Without user32 from the system directory nothing can be shown either.
  if (platform == NULL) ::ExitProcess(255);
  UsePlatform(platform);
  Sys().ExitProcess(RunLoader());
}
