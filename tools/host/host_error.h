// Failures of the host's own I/O, worded as the host words them
// ("No such file or directory"), the same for the same cause in every command.
#pragma once

#include <stdint.h>

#include <string>

// Refusals of files that are not regular files, kept apart from errno values
// (which are positive): each names the kind of file met.
#define PXQ_ERROR_FIFO (-1)
#define PXQ_ERROR_CHARACTER_DEVICE (-2)
#define PXQ_ERROR_BLOCK_DEVICE (-3)
#define PXQ_ERROR_SOCKET (-4)
#define PXQ_ERROR_SYMBOLIC_LINK (-5)
#define PXQ_ERROR_TERMINAL (-6)

// strerror() for errno values, a plain sentence for the refusals above.
std::string HostErrorText(int error);
// The refusal for a file of this mode that is not a regular file (EISDIR
// for a directory), or 0 for a regular file.
int NonRegularError(unsigned mode);
// The errno value behind a Windows result code that the host backend gives
// for a failed host call, or 0 when the code has no host counterpart (the
// loader's own fixed numbers such as 30 or 38).
int HostErrorFromResult(uint32_t code);

// Opens a file for reading without waiting on a FIFO (O_NONBLOCK) and
// accepts only a regular file. 0 and *fd set (blocking again), or the error.
int OpenInputFile(const std::string& path, int* fd);
