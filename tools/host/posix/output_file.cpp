#include "tools/host/output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tools/host/host_error.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/signals.h"

bool IsStandardOutput(const std::string& path) { return path == "-"; }

std::string OutputDisplayName(const std::string& path) {
  return IsStandardOutput(path) ? "standard output" : path;
}

int CheckOutputName(const std::string& path) {
  if (IsStandardOutput(path)) return isatty(STDOUT_FILENO) ? PXQ_ERROR_TERMINAL : 0;
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
  // A link is refused whatever it points to: replacing it would lose the
  // link, and writing through it could reach a file the user never named.
  if (S_ISLNK(info.st_mode)) return PXQ_ERROR_SYMBOLIC_LINK;
  return NonRegularError(info.st_mode);
}

static int BeginStaged(const std::string& directory, const std::string& pattern, uint32_t mode,
                       OutputFile* output) {
  std::vector<char> name(directory.begin(), directory.end());
  name.insert(name.end(), pattern.begin(), pattern.end());
  name.push_back('\0');
  // Held so that no signal falls between creating the file and noting it.
  HoldSignals();
  int fd = mkostemp(name.data(), O_CLOEXEC);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) RemoveOnSignal(name.data());
  ReleaseSignals();
  if (fd < 0) return error;
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, static_cast<mode_t>(mode) & ~mask) != 0) {
    error = errno;
    close(fd);
    unlink(name.data());
    KeepOnSignal(name.data());
    return error;
  }
  output->temporary = name.data();
  output->fd = fd;
  return 0;
}

int BeginOutput(const std::string& path, uint32_t mode, OutputFile* output) {
  *output = OutputFile();
  output->path = path;
  if (IsStandardOutput(path)) {
    output->standardoutput = true;
    output->fd = STDOUT_FILENO;
    return 0;
  }
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return BeginStaged(directory, "." + base + ".pxq-XXXXXX", mode, output);
}

std::string ScratchDirectory() {
  const char* directory = getenv("TMPDIR");
  return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
}

int BeginScratchFile(OutputFile* output) {
  *output = OutputFile();
  std::string base = ScratchDirectory();
  if (base.back() != '/') base += '/';
  int error = BeginStaged(base, "pxq-XXXXXX", 0600, output);
  output->path = output->temporary;
  return error;
}

void LetOthersWriteOutput(OutputFile*) {}

int CommitOutput(OutputFile* output) {
  if (output->standardoutput) {
    output->fd = -1;
    return 0;
  }
  int error = 0;
  if (close(output->fd) != 0) error = errno;
  output->fd = -1;
  HoldSignals();
  if (error == 0 && rename(output->temporary.c_str(), output->path.c_str()) != 0) error = errno;
  if (error != 0) unlink(output->temporary.c_str());
  KeepOnSignal(output->temporary);
  ReleaseSignals();
  output->temporary.clear();
  return error;
}

void DiscardOutput(OutputFile* output) {
  if (output->standardoutput) {
    output->fd = -1;
    return;
  }
  if (output->fd >= 0) close(output->fd);
  output->fd = -1;
  if (!output->temporary.empty()) {
    unlink(output->temporary.c_str());
    KeepOnSignal(output->temporary);
  }
  output->temporary.clear();
}

int WriteFully(int fd, const uint8_t* bytes, size_t count) {
  while (count != 0) {
    ssize_t n = write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

int CopyFileToStandardOutput(const std::string& path) {
  return ReadInputPieces(path, [](const uint8_t* piece, size_t count) {
    return WriteFully(STDOUT_FILENO, piece, count);
  });
}
