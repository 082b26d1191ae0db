#include "tools/host/host_error.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/types.h"

std::string HostErrorText(int error) {
  switch (error) {
    case PXQ_ERROR_FIFO:
      return "is a FIFO, not a regular file";
    case PXQ_ERROR_CHARACTER_DEVICE:
      return "is a character device, not a regular file";
    case PXQ_ERROR_BLOCK_DEVICE:
      return "is a block device, not a regular file";
    case PXQ_ERROR_SOCKET:
      return "is a socket, not a regular file";
    case PXQ_ERROR_SYMBOLIC_LINK:
      return "is a symbolic link; pxq neither replaces a link nor writes through it: name the file itself";
    case PXQ_ERROR_TERMINAL:
      return "is a terminal; pxq does not write binary data to a terminal: redirect it to a file or a pipe";
    default:
      return strerror(error);
  }
}

int NonRegularError(unsigned mode) {
  if (S_ISREG(mode)) return 0;
  if (S_ISDIR(mode)) return EISDIR;
  if (S_ISFIFO(mode)) return PXQ_ERROR_FIFO;
  if (S_ISCHR(mode)) return PXQ_ERROR_CHARACTER_DEVICE;
  if (S_ISBLK(mode)) return PXQ_ERROR_BLOCK_DEVICE;
  if (S_ISSOCK(mode)) return PXQ_ERROR_SOCKET;
  return PXQ_ERROR_SYMBOLIC_LINK;
}

int HostErrorFromResult(uint32_t code) {
  // The inverse of the host backend's errno table, for the codes where one
  // host cause is the usual one.
  static const struct {
    uint32_t code;
    int error;
  } kCauses[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},  {ERROR_PATH_NOT_FOUND, ENOENT}, {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}, {ERROR_DISK_FULL, ENOSPC},    {ERROR_IO_DEVICE, EIO},
      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG}, {ERROR_SHARING_VIOLATION, ETXTBSY},
      {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
  };
  for (const auto& cause : kCauses) {
    if (cause.code == code) return cause.error;
  }
  return 0;
}


int OpenInputFile(const std::string& path, int* fd) {
  *fd = -1;
  int file;
  do {
    file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (file < 0 && errno == EINTR);
  if (file < 0) return errno;
  struct stat info;
  int error = fstat(file, &info) != 0 ? errno : NonRegularError(info.st_mode);
  // Reads of a regular file never wait; the flag is dropped all the same.
  if (error == 0 && fcntl(file, F_SETFL, fcntl(file, F_GETFL) & ~O_NONBLOCK) != 0) error = errno;
  if (error != 0) {
    close(file);
    return error;
  }
  *fd = file;
  return 0;
}
