// Extracts one entry of a loader file through the loader's own extraction
// over the testing backend and prints the most heap that was committed at
// once (the sum of the live HeapAlloc blocks), in bytes, and the process's
// CPU time in seconds:  pxq_bench_heap FILE ID OUT
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "package/archive_reader.h"
#include "package/records.h"
#include "platform/posix.h"
#include "platform/testing.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fputs("usage: pxq_bench_heap FILE ID OUT\n", stderr);
    return 2;
  }
  FILE* file = fopen(argv[1], "rb");
  uint8_t stamp[LOADER_STAMP_SIZE];
  if (file == nullptr || fread(stamp, 1, sizeof stamp, file) != sizeof stamp) {
    fprintf(stderr, "pxq_bench_heap: cannot read %s\n", argv[1]);
    return 1;
  }
  fclose(file);
  uint64_t id = strtoull(argv[2], nullptr, 0);
  UsePlatform(TestingPlatform(PosixPlatform()));
  uint32_t code = 0;
  uint32_t written = ExtractPackageEntry(argv[1], ReadLe32(stamp + STAMP_OFFSET_ARCHIVE), static_cast<uint32_t>(id),
                                         static_cast<uint32_t>(id >> 32), argv[3], &code);
  if (written != 1) {
    fprintf(stderr, "pxq_bench_heap: extraction failed with %u\n", code);
    return 1;
  }
  printf("%llu %.2f\n", static_cast<unsigned long long>(Testing().peakheapbytes),
         static_cast<double>(clock()) / CLOCKS_PER_SEC);
  return 0;
}
