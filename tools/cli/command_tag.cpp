// pxq tag: writes, replaces or removes the trailing tag of a loader file.
// Unsigned, the tag is the file's last bytes; signed, it goes inside the
// Authenticode signature, as the value of the last unauthenticated attribute
// of the last signer, so that it still ends the file and the signature stays
// valid. Only the headers and the file's tail are read and decided on; the
// rest is copied as it stands (the archive is never decoded).
#include <errno.h>
#include <algorithm>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package/records.h"
#include "platform/posix.h"
#include "tools/release/authenticode.h"
#include "tools/release/pe_image.h"
#include "tools/host/host_error.h"
#include "tools/host/output_file.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/cli/tag_request.h"
#include "tools/release/tag_rewrite.h"
#include "tools/release/tag_text.h"

extern const char kTagHelp[];
const char kTagHelp[] =
    "Usage: pxq tag [--form ansi|utf8|utf16] [--pad] [-o OUT] FILE TEXT\n"
    "       pxq tag --remove [-o OUT] FILE\n"
    "\n"
    "Writes TEXT as the trailing tag \"<|TEXT|>\" of the loader file FILE,\n"
    "replacing a tag it has; the loader passes the text to the installer after\n"
    "the \"Arguments\" value. --remove takes the tag away.\n"
    "\n"
    "  --form ansi   the text's bytes as given, read by Windows in its ANSI\n"
    "                code page (default; meant for ASCII)\n"
    "  --form utf8   UTF-8 with a byte-order mark; Windows converts it to its\n"
    "                ANSI code page (characters it lacks become '?')\n"
    "  --form utf16  UTF-16LE; converted the same way\n"
    "  --pad         pad a file that would be under 64 KiB up to 65,536 bytes\n"
    "                (a re-tagged file keeps its padding)\n"
    "  --remove      remove the tag (a file without one is left as it is)\n"
    "  -o, --output OUT  write OUT and leave FILE as it is (default: FILE is\n"
    "                replaced, through a temporary file renamed over it)\n"
    "  -q, --quiet   print errors only (no summary line, no warning)\n"
    "  -v, --verbose taken as by every command (tag shows no progress)\n"
    "\n"
    "The loader looks for a tag only in a file of at least 65,536 bytes; a\n"
    "shorter result is refused unless --pad is given (the padding goes after\n"
    "the archive, or inside the signature, where the loader never reads).\n"
    "On an Authenticode-signed file (sign first, then tag) the tag is written\n"
    "into the signature's unsigned part: the signature stays valid, and the\n"
    "tag is still the file's last bytes. Tagging never decodes the archive.\n"
    "\n"
    "The loader puts the text on the installer's command line as it stands:\n"
    "spaces and double quotes in it split it into several arguments (a\n"
    "warning says so).\n";

namespace {

uint32_t WriteWhole(int fd, const uint8_t* bytes, size_t count) {
  while (count != 0) {
    ssize_t n = write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WindowsErrorFromErrno(errno);
    if (n == 0) return ERROR_HANDLE_DISK_FULL;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

// 0, or the Windows error of the failing call; *writing tells whether it
// was the output.
uint32_t CopyRewrite(int input, int output, const TagRewrite& rewrite, bool* writing) {
  *writing = false;
  PeChecksum checksum;
  checksum.checksumoffset = rewrite.checksumoffset;
  std::vector<uint8_t> piece(1 << 20);
  uint64_t position = 0;
  while (position < rewrite.keep) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), rewrite.keep - position));
    ssize_t n = pread(input, piece.data(), want, static_cast<off_t>(position));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WindowsErrorFromErrno(errno);
    if (n == 0) return ERROR_HANDLE_EOF;  // the file shrank under us
    size_t got = static_cast<size_t>(n);
    if (rewrite.securitysizeoffset != 0)
      PatchField(piece.data(), position, got, rewrite.securitysizeoffset, rewrite.securitysize);
    if (rewrite.checksumoffset != 0) {
      PatchField(piece.data(), position, got, rewrite.checksumoffset, 0);
      AddPeChecksum(&checksum, piece.data(), got);
    }
    *writing = true;
    uint32_t result = WriteWhole(output, piece.data(), got);
    if (result != 0) return result;
    *writing = false;
    position += got;
  }
  *writing = true;
  uint32_t result = WriteWhole(output, rewrite.tail.data(), rewrite.tail.size());
  if (result != 0 || rewrite.checksumoffset == 0) return result;
  AddPeChecksum(&checksum, rewrite.tail.data(), rewrite.tail.size());
  uint8_t field[4];
  PutLe32(field, FinishPeChecksum(checksum));
  if (pwrite(output, field, 4, rewrite.checksumoffset) != 4) return WindowsErrorFromErrno(errno);
  return 0;
}

// The tag encoded in its form, with warnings about text that the loader
// or the installer may not take as given. -1 to go on, else the exit code.
int EncodeTagText(const TagRequest& request, std::vector<uint8_t>* tag) {
  if (request.remove) return -1;
  std::string fault = EncodeTag(request.text, request.form, tag);
  if (!fault.empty()) return UsageError("tag", fault);
  if (request.form == TagPlain && !IsAscii(request.text) && Verbosity >= 0)
    fprintf(stderr,
            "pxq tag: warning: the text has non-ASCII bytes; the ansi form passes them unchanged and Windows reads "
            "them in its ANSI code page; --form utf8 or utf16 has them converted\n");
  // The tag reaches the installer's command line unquoted.
  if (request.text.find_first_of(" \t\"") != std::string::npos && Verbosity >= 0)
    fprintf(stderr,
            "pxq tag: warning: the text holds spaces or double quotes; the loader puts it on the installer's command "
            "line as it stands, where they split it into several arguments\n");
  return -1;
}

// What is at OUT is looked at before any work; the rewrite needs a file to
// write at a place, so standard output cannot take it. -1 or the exit code.
int CheckTagOutput(const TagRequest& request) {
  if (request.output.empty()) return -1;
  if (IsStandardOutput(request.output))
    return UsageError("tag", "-o - is not supported: tag writes a file; name one");
  int error = CheckOutputName(request.output);
  if (error != 0) return HostFailure(request.output, error);
  return -1;
}

// The input: a loader file, read through one descriptor.
struct TagInput {
  int fd = -1;
  struct stat info = {};
  PeImage image;  // empty without PE headers: no signature, no checksum
  ~TagInput() {
    if (fd >= 0) close(fd);
  }
};

int OpenTagInput(const std::string& path, TagInput* input) {
  LoaderStamp stamp;
  int status = ReadLoaderStamp(path.c_str(), &stamp);
  if (status != PXQ_EXIT_OK) return status;
  int error = OpenInputFile(path, &input->fd);
  if (error != 0) return HostFailure(path, error);
  if (fstat(input->fd, &input->info) != 0) return HostFailure(path, errno);
  // Without a PE header the file is tagged as unsigned.
  if (!ReadPeImageFile(path, &input->image).empty()) input->image = PeImage();
  return -1;
}

// `count` bytes at `offset` of the input: 0 or a Windows error.
uint32_t ReadInputRange(int fd, uint64_t offset, size_t count, std::vector<uint8_t>* bytes) {
  bytes->resize(count);
  size_t got = 0;
  while (got < count) {
    ssize_t n = pread(fd, bytes->data() + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WindowsErrorFromErrno(errno);
    if (n == 0) return ERROR_HANDLE_EOF;
    got += static_cast<size_t>(n);
  }
  return 0;
}

// The rewritten file staged and put in place of FILE (or its link's
// target), or at OUT. -1 or the exit code.
int WriteTagged(const TagRequest& request, TagInput& input, const TagRewrite& rewrite) {
  const std::string& path = request.path;
  const char* output = request.output.empty() ? nullptr : request.output.c_str();
  const struct stat& info = input.info;
  // The output replaces FILE (or its link's target) unless -o names another.
  // Messages name the file as it was given.
  std::string shown = output != nullptr ? output : path;
  std::string target = shown;
  if (output == nullptr) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      target = resolved;
      free(resolved);
    }
  }
  OutputFile staged;
  int error = BeginOutput(target, info.st_mode & 07777, &staged);
  if (error != 0) return HostFailure(shown, error);
  // In place, the file keeps its own mode, whatever the umask.
  if (output == nullptr) fchmod(staged.fd, info.st_mode & 07777);
  bool writing = false;
  uint32_t result = CopyRewrite(input.fd, staged.fd, rewrite, &writing);
  if (result != 0) {
    DiscardOutput(&staged);
    return Failure(writing ? shown : path, ResultWords(result));
  }
  // Read whole: closed before the staged file takes its name, which Windows
  // refuses while the file is open.
  close(input.fd);
  input.fd = -1;
  error = CommitOutput(&staged);
  if (error != 0) return HostFailure(shown, error);
  return -1;
}

// What was done, unless -q.
void ReportTag(const TagRequest& request, const TagPlan& plan, size_t tagsize) {
  const bool remove = request.remove, hadtag = plan.hadtag;
  const std::string& shown = request.output.empty() ? request.path : request.output;
  const uint64_t newsize = plan.newsize;
  const std::string& summary = plan.summary;
  if (Verbosity < 0) return;
  if (remove && !hadtag) {
    printf("%s: no tag to remove; written unchanged; %llu bytes\n", shown.c_str(),
           static_cast<unsigned long long>(newsize));
  } else if (remove) {
    printf("%s: tag removed (%s); %llu bytes\n", shown.c_str(), summary.c_str(),
           static_cast<unsigned long long>(newsize));
  } else {
    printf("%s: %s tag of %zu bytes written (%s); %llu bytes\n", shown.c_str(), TagFormName(request.form), tagsize,
           summary.c_str(), static_cast<unsigned long long>(newsize));
  }
}

}  // namespace

int CommandTag(int argc, char** argv) {
  TagRequest request;
  int status = ParseTag(argc, argv, &request);
  if (status >= 0) return status;
  std::vector<uint8_t> tag;
  status = EncodeTagText(request, &tag);
  if (status < 0) status = CheckTagOutput(request);
  TagInput input;
  if (status < 0) status = OpenTagInput(request.path, &input);
  if (status >= 0) return status;
  auto readat = [&input](uint64_t offset, size_t count, std::vector<uint8_t>* bytes) {
    return ReadInputRange(input.fd, offset, count, bytes);
  };
  TagPlan plan;
  std::string fault = PlanTagRewrite(input.image, static_cast<uint64_t>(input.info.st_size), readat,
                                     request.remove ? nullptr : &tag, request.pad, &plan);
  if (plan.readfailure != 0) return Failure(request.path, ResultWords(plan.readfailure));
  if (!fault.empty()) return Failure(request.path, fault);
  // A file without a tag to remove is left as it is, its time included;
  // with -o, OUT gets its bytes unchanged (no checksum recomputed).
  if (request.remove && !plan.hadtag && request.output.empty()) {
    if (Verbosity >= 0) printf("%s: no tag to remove; the file is unchanged\n", request.path.c_str());
    return PXQ_EXIT_OK;
  }
  status = WriteTagged(request, input, plan.rewrite);
  if (status >= 0) return status;
  ReportTag(request, plan, tag.size());
  return PXQ_EXIT_OK;
}
