// The data archive's benchmark programs, one per mode:
//
//   pxq_bench_data reader FILE ID OUT   the loader's own reader on the data
//       archive: ExtractPackageEntry at the data archive's offset, decoding
//       every entry before entry ID and writing that one to OUT
//   pxq_bench_data library FILE DIR     the installer library: PxqDataOpen and
//       PxqDataExtractAll into DIR
//   pxq_bench_data locate FILE          PxqDataOpen alone, counting the reads
//       it makes through the platform seam; prints "READS BYTES ITEMS"
//
// reader and library decode the very same stream, so that their CPU times
// compare the library's extraction with the loader's decoding.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "package/archive_reader.h"
#include "package/data_archive.h"
#include "package/records.h"
#include "platform/posix.h"
#include "pxq/installer_data.h"

namespace {

// The data archive's offset, from the stamp and the locator in the loader
// archive's header; 0 when the file has none.
uint64_t DataOffset(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  uint8_t stamp[LOADER_STAMP_SIZE];
  uint8_t locator[16];
  uint64_t offset = 0;
  if (fread(stamp, 1, sizeof stamp, file) == sizeof stamp &&
      fseek(file, static_cast<long>(ReadLe32(stamp + STAMP_OFFSET_ARCHIVE)), SEEK_SET) == 0 &&
      fread(locator, 1, sizeof locator, file) == sizeof locator && !DecodeDataLocator(locator, &offset)) {
    offset = 0;
  }
  fclose(file);
  return offset;
}

const Platform* posix = nullptr;
uint64_t reads = 0;
uint64_t bytesread = 0;

BOOL PXQ_WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  BOOL result = posix->ReadFile(file, buffer, count, got, overlapped);
  ++reads;
  if (result && got != nullptr) bytesread += *got;
  return result;
}

int Reader(const char* path, const char* id, const char* output) {
  uint64_t offset = DataOffset(path);
  if (offset == 0 || offset > 0xFFFFFFFFu) {
    fprintf(stderr, "pxq_bench_data: %s has no data archive the reader can reach\n", path);
    return 1;
  }
  uint64_t entry = strtoull(id, nullptr, 0);
  UsePlatform(PosixPlatform());
  uint32_t code = 0;
  if (ExtractPackageEntry(path, static_cast<uint32_t>(offset), static_cast<uint32_t>(entry),
                          static_cast<uint32_t>(entry >> 32), output, &code) != 1) {
    fprintf(stderr, "pxq_bench_data: the reader failed with %u\n", code);
    return 1;
  }
  return 0;
}

int Library(const char* path, const char* directory) {
  PxqData* data = nullptr;
  uint32_t code = PxqDataOpen(path, &data);
  if (code == 0) code = PxqDataExtractAll(data, directory, nullptr, nullptr);
  if (code != 0) fprintf(stderr, "pxq_bench_data: %s (%u)\n", PxqDataMessage(data), code);
  PxqDataClose(data);
  return code == 0 ? 0 : 1;
}

int Locate(const char* path) {
  static Platform counting;
  posix = PosixPlatform();
  counting = *posix;
  counting.ReadFile = CountingReadFile;
  UsePlatform(&counting);
  PxqData* data = nullptr;
  uint32_t code = PxqDataOpen(path, &data);
  if (code != 0) {
    fprintf(stderr, "pxq_bench_data: %s (%u)\n", PxqDataMessage(data), code);
    PxqDataClose(data);
    return 1;
  }
  printf("%llu %llu %u\n", static_cast<unsigned long long>(reads), static_cast<unsigned long long>(bytesread),
         PxqDataCount(data));
  PxqDataClose(data);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "reader") == 0) return Reader(argv[2], argv[3], argv[4]);
  if (argc == 4 && strcmp(argv[1], "library") == 0) return Library(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "locate") == 0) return Locate(argv[2]);
  fputs("usage: pxq_bench_data reader FILE ID OUT | library FILE DIR | locate FILE\n", stderr);
  return 2;
}
