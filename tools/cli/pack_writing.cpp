// pack's writing: the stub, the archive and the data archive into OUT,
// staged under a temporary name (or a scratch file for standard output) and
// put in place only when whole.
#include <errno.h>
#include <stdint.h>
#include <unistd.h>

#include "platform/types.h"
#include "tools/cli/pack_steps.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/host_error.h"
#include "tools/host/output_file.h"
#include "tools/release/pe_image.h"

int WritePack(PackRequest* request, const PackPlan& plan, PackWritten* done) {
  const char* output = request->output.c_str();
  PackageOptions& options = request->options;
  const uint32_t platformflags = request->platformflags;
  const std::vector<uint8_t>& stubbytes = plan.stub;
  const std::vector<PackageEntry>& entries = plan.entries;
  const std::vector<DataArchiveItem>& dataitems = plan.dataitems;

  // A stub with a PE checksum gets the checksum of the whole loader file,
  // summed as it is written and put in place at the end. Standard output
  // cannot be written at a place: the file is then built in a scratch file
  // and copied out.
  PeImage image;
  bool checksummed = ReadPeImage(stubbytes.data(), stubbytes.size(), &image).empty() && image.checksum != 0;
  PeChecksum checksum;
  checksum.checksumoffset = image.checksumoffset;
  // The data archive's locator is written in place at the end too.
  bool viascratch = (checksummed || !dataitems.empty()) && IsStandardOutput(output);
  OutputFile out;
  int error = viascratch ? BeginScratchFile(&out) : BeginOutput(output, 0777, &out);
  if (error != 0) return HostFailure(output, error);
  uint64_t written = 0;
  size_t failedentry = SIZE_MAX;
  int writeerror = 0;
  uint32_t dictionary = ChosenDictionary(entries, options);
  options.dictionarysize = dictionary;
  Progress progress;
  BeginProgress(&progress, "pack", plan.inputbytes);
  options.onencoded = [&](uint64_t count) { AdvanceProgress(&progress, count); };
  uint32_t result = WriteLoaderFileTo(
      stubbytes, platformflags, entries, options,
      [&](const uint8_t* bytes, size_t count) -> uint32_t {
        written += count;
        if (checksummed) AddPeChecksum(&checksum, bytes, count);
        writeerror = WriteFully(out.fd, bytes, count);
        return writeerror != 0 ? ERROR_WRITE_FAULT : 0;
      },
      &failedentry);
  // The data archive follows the loader's trailer; its offset goes into the
  // locator, bytes of the loader's archive header that the loader never reads.
  uint64_t dataoffset = written;
  size_t faileditem = SIZE_MAX;
  uint64_t locatorat = 0;
  if (result == 0 && !dataitems.empty()) {
    PackageOptions dataoptions = options;
    dataoptions.dictionarysize = 0;
    result = WriteDataArchiveTo(
        dataitems, dataoptions,
        [&](const uint8_t* bytes, size_t count) -> uint32_t {
          written += count;
          if (checksummed) AddPeChecksum(&checksum, bytes, count);
          writeerror = WriteFully(out.fd, bytes, count);
          return writeerror != 0 ? ERROR_WRITE_FAULT : 0;
        },
        &faileditem, &locatorat);
    uint8_t locator[16];
    EncodeDataLocator(dataoffset + locatorat, locator, DataLocatorFormatFor(dataoptions));
    if (result == 0 && pwrite(out.fd, locator, sizeof locator, static_cast<off_t>(stubbytes.size())) != sizeof locator) {
      writeerror = errno;
      result = ERROR_WRITE_FAULT;
    }
    if (result == 0 && checksummed) {
      // The locator's bytes were zero when summed; the sum takes them at their place.
      PeChecksum patch = checksum;
      patch.position = stubbytes.size();
      AddPeChecksum(&patch, locator, sizeof locator);
      checksum.sum = patch.sum;
    }
    if (result != 0 && faileditem != SIZE_MAX) {
      EndProgress(&progress);
      DiscardOutput(&out);
      const std::string& path = dataitems[faileditem].path;
      if (result == ERROR_HANDLE_EOF) return Failure(path, "became shorter while being packed; nothing was written");
      if (result == ERROR_READ_FAULT) return Failure(path, "changed while being packed; nothing was written");
      return Failure(path, ResultWords(result));
    }
  }
  EndProgress(&progress);
  if (result == 0 && checksummed) {
    uint8_t field[4];
    PutLe32(field, FinishPeChecksum(checksum));
    if (pwrite(out.fd, field, sizeof field, image.checksumoffset) != sizeof field) {
      writeerror = errno;
      result = ERROR_WRITE_FAULT;
    }
  }
  if (result != 0) {
    DiscardOutput(&out);
    if (failedentry != SIZE_MAX) {
      const std::string& path = entries[failedentry].path;
      if (result == ERROR_HANDLE_EOF) return Failure(path, "became shorter while being packed; nothing was written");
      if (result == ERROR_READ_FAULT) return Failure(path, "changed while being packed; nothing was written");
      return Failure(path, ResultWords(result));
    }
    if (writeerror != 0) return HostFailure(OutputDisplayName(output), writeerror);
    return Failure(output, ResultWords(result));
  }
  error = viascratch ? CopyFileToStandardOutput(out.temporary) : CommitOutput(&out);
  if (viascratch) DiscardOutput(&out);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  done->bytes = written;
  done->dataoffset = dataoffset;
  done->dictionary = dictionary;
  return -1;
}
