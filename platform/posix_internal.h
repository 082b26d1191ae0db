// Shared by the files of the posix backend: one function per operation,
// named Posix<Operation>, and the record behind every HANDLE it gives out.
#pragma once

#include <sys/types.h>

#include "platform/posix.h"

#define PXQ_POSIX_DECLARE(ret, name, fail, params, args) ret Posix##name params;
PXQ_PLATFORM_OPS(PXQ_POSIX_DECLARE)
#undef PXQ_POSIX_DECLARE

// What a HANDLE of the posix backend points to. CloseHandle releases it
// according to its kind.
enum PosixHandleKind : uint32_t {
  PosixFileHandle = 0x46494C45u,     // an open file descriptor
  PosixMappingHandle = 0x4D415050u,  // a file mapping: its own descriptor and size
  PosixProcessHandle = 0x50524F43u,  // a child process
  PosixThreadHandle = 0x54485244u,   // the child's (only) thread
};

struct PosixHandle {
  uint32_t kind;
  int fd;              // file, mapping; process: its image, held while it runs
  uint64_t size;       // mapping: the file's size when the mapping was made
  pid_t pid;           // process, thread
  bool ended;          // process: waited for
  DWORD exitcode;      // process: exit status once ended
  bool writeonly;      // file: opened for writing only (its descriptor may read, for the share locks)
};

// Allocates a handle record of the given kind (fd -1, the rest zero).
PosixHandle* NewPosixHandle(uint32_t kind);

// The record behind `handle` if it is one of ours of that kind, else null.
PosixHandle* PosixHandleOf(HANDLE handle, uint32_t kind);

// Frees a handle record (does not close what it holds).
void FreePosixHandle(PosixHandle* handle);

// Sets the backend's last error from errno and returns the Windows number.
DWORD PosixFailFromErrno();
