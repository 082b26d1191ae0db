// Prints how the installer library's Windows file layer writes extraction
// targets (LayerFullPath: absolute, with the \\?\ prefix) and shows them in
// messages (LayerDisplayPath), one line per case: "FULL|SHOWN", in UTF-8.
// Relative paths are taken from C:\ (the current directory is set to it).
#include <windows.h>
#include <stdio.h>

#include "installer/file_layer.h"
#include "platform/heap.h"

int main() {
  LayerUsePlatform();
  if (!SetCurrentDirectoryW(L"C:\\")) return 2;
  static const wchar_t* const cases[] = {
      L"C:\\pxq-paths\\a", L"C:/pxq-paths/b/../c", L"\\\\server\\share\\d", L"//?/C:/x/y",
      L"\\\\?\\C:\\z",     L"rel\\dir",             L"C:\\x\\con",
  };
  for (const wchar_t* path : cases) {
    PxqPathChar* full = LayerFullPath(path);
    if (full == nullptr) return 3;
    char* shown = LayerDisplayPath(full);
    char bytes[1024];
    if (WideCharToMultiByte(CP_UTF8, 0, full, -1, bytes, sizeof(bytes), NULL, NULL) == 0) return 4;
    printf("%s|%s\n", bytes, shown != nullptr ? shown : "(null)");
    FreeBlock(shown);
    FreeBlock(full);
  }
  return 0;
}
