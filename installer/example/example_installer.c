/* A minimal installer built against the pxq installer library: started by
 * the pxq loader (which passes the loader file's path last, or in the
 * variable PXQ_LOADER_PATH when packed with --loader-path environment), it lists the
 * product files of the data archive and extracts them into the folder given
 * as its first argument, showing its progress. Exit code 0 on success, else
 * the library's result code (a Windows error number).
 *
 *   example-installer DIRECTORY "LOADER-PATH"   (as the loader starts it:
 *   pxq pack --arguments DIRECTORY --data ... makes DIRECTORY the first) */
#include <stdio.h>

#include "pxq/installer_data.h"

#ifdef _WIN32
#include <wchar.h>
#define MAIN wmain
#define ARGCHAR wchar_t
#else
#define MAIN main
#define ARGCHAR char
#endif

static int ShowProgress(void* context, uint64_t done, uint64_t total, const PxqDataEntry* entry) {
  (void)context;
  printf("  %3u%%  %s\n", total == 0 ? 100u : (unsigned)(done * 100 / total), entry->name);
  return 0; /* nonzero would cancel */
}

int MAIN(int argc, ARGCHAR** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: example-installer DIRECTORY (start it through the pxq loader)\n");
    return 87;
  }
  PxqData* data = NULL;
  uint32_t code = PxqDataOpenSelf(&data);
  if (code != 0) {
    fprintf(stderr, "example-installer: %s\n", PxqDataMessage(data));
    PxqDataClose(data);
    return (int)code;
  }
  printf("%u product files and folders:\n", PxqDataCount(data));
  for (uint32_t number = 1; number <= PxqDataCount(data); ++number) {
    PxqDataEntry entry;
    PxqDataEntryAt(data, number, &entry);
    printf("  %-40s %12llu%s\n", entry.name, (unsigned long long)entry.size, entry.isdirectory ? "  (folder)" : "");
  }
  code = PxqDataExtractAll(data, argv[1], ShowProgress, NULL);
  if (code != 0) fprintf(stderr, "example-installer: %s\n", PxqDataMessage(data));
  PxqDataClose(data);
  return (int)code;
}
