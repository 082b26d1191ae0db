/* Reads a file's version resource the way Windows programs (and Explorer)
 * do, through GetFileVersionInfoA and VerQueryValueA, and prints one
 * "key=value" line each: the first translation, the numeric file and
 * product versions of VS_FIXEDFILEINFO, and the strings of the first
 * translation's table ("KEY missing" for one it lacks). Exits with 1 when
 * the file has no version resource. */
#include <windows.h>
#include <stdio.h>

static const char* const kStrings[] = {"Arguments",      "ProductName",    "FileDescription", "CompanyName",
                                       "LegalCopyright", "ProductVersion", "FileVersion"};

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(argv[1], &handle);
  if (size == 0) return 1;
  char* block = (char*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
  if (block == NULL || !GetFileVersionInfoA(argv[1], handle, size, block)) return 1;
  WORD* translation = NULL;
  UINT length = 0;
  if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", (void**)&translation, &length) || length < 4) return 1;
  printf("Translation=%04x%04x\n", translation[0], translation[1]);
  VS_FIXEDFILEINFO* fixed = NULL;
  if (VerQueryValueA(block, "\\", (void**)&fixed, &length) && length >= sizeof(*fixed)) {
    printf("FileVersionNumbers=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS));
    printf("ProductVersionNumbers=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwProductVersionMS),
           (unsigned)LOWORD(fixed->dwProductVersionMS), (unsigned)HIWORD(fixed->dwProductVersionLS),
           (unsigned)LOWORD(fixed->dwProductVersionLS));
  }
  for (size_t i = 0; i < sizeof(kStrings) / sizeof(kStrings[0]); ++i) {
    char path[96];
    char* value = NULL;
    wsprintfA(path, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], kStrings[i]);
    if (VerQueryValueA(block, path, (void**)&value, &length) && value != NULL)
      printf("%s=%s\n", kStrings[i], value);
    else
      printf("%s missing\n", kStrings[i]);
  }
  fflush(stdout);
  return 0;
}
