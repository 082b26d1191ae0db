/* A minimal installer built against the pxq installer library. Started by
 * the pxq loader (which passes the loader file's path last, or in the
 * variable PXQ_LOADER_PATH when packed with --loader-path environment), it
 * takes its own options as NSIS installers do, lists the product files of
 * the data archive and extracts them into the folder given by /D=, showing
 * its progress. A failed or cancelled extraction leaves the folder as it
 * was. Exit code 0 on success, 87 for a wrong option, else the library's
 * result code (a Windows error number).
 *
 *   setup.exe [/S] /D=DIRECTORY      (/S: silent, no listing or progress)
 *
 * PxqLoaderInvocation says which arguments are the user's own, so that the
 * loader file's path is never taken for an option, and an option never for
 * the loader file's path when the installer is started directly. */
#include <stdio.h>

#include "pxq/installer_data.h"

#ifdef _WIN32
#include <wchar.h>
#define MAIN wmain
#define ARGCHAR wchar_t
#define T(text) L##text
#define SAME(a, b) (wcscmp((a), (b)) == 0)
#define STARTS(a, b) (wcsncmp((a), (b), wcslen(b)) == 0)
#else
#include <string.h>
#define MAIN main
#define ARGCHAR char
#define T(text) text
#define SAME(a, b) (strcmp((a), (b)) == 0)
#define STARTS(a, b) (strncmp((a), (b), strlen(b)) == 0)
#endif

static int ShowProgress(void* context, uint64_t done, uint64_t total, const PxqDataEntry* entry) {
  (void)context;
  printf("  %3u%%  %s\n", total == 0 ? 100u : (unsigned)(done * 100 / total), entry->name);
  return 0; /* nonzero would cancel */
}

int MAIN(int argc, ARGCHAR** argv) {
  uint32_t source = PXQ_LOADER_NONE;
  int first = 1, count = argc - 1;
  PxqLoaderInvocation(&source, &first, &count);
  int silent = 0;
  const ARGCHAR* directory = NULL;
  for (int i = first; i < first + count && i < argc; ++i) {
    if (SAME(argv[i], T("/S"))) {
      silent = 1;
    } else if (STARTS(argv[i], T("/D="))) {
      directory = argv[i] + 3;
    } else {
      directory = NULL;
      break;
    }
  }
  if (directory == NULL || directory[0] == 0) {
    fprintf(stderr, "usage: setup [/S] /D=DIRECTORY (started through the pxq loader)\n");
    return 87;
  }
  if (source == PXQ_LOADER_NONE) {
    fprintf(stderr, "setup: start this installer through its pxq loader file (setup.exe), not on its own\n");
    return 2;
  }
  PxqData* data = NULL;
  uint32_t code = PxqDataOpenSelf(&data);
  if (code != 0) {
    fprintf(stderr, "setup: %s\n", PxqDataMessage(data));
    PxqDataClose(data);
    return (int)code;
  }
  if (!silent) {
    printf("%u product files and folders:\n", PxqDataCount(data));
    for (uint32_t number = 1; number <= PxqDataCount(data); ++number) {
      PxqDataEntry entry;
      if (PxqDataEntryAt(data, number, &entry) != 0) break;
      printf("  %-40s %12llu%s\n", entry.name, (unsigned long long)entry.size, entry.isdirectory ? "  (folder)" : "");
    }
  }
  /* Over an existing install too: on failure the folder comes back as it was. */
  code = PxqDataExtractAllEx(data, directory, PXQ_EXTRACT_ROLLBACK, silent ? NULL : ShowProgress, NULL);
  if (code != 0) fprintf(stderr, "setup: %s\n", PxqDataMessage(data));
  PxqDataClose(data);
  return (int)code;
}
