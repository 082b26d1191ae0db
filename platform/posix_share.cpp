// Windows share modes over open-file-description locks, so that the opens of
// one file refuse each other as on Windows, within a process and across
// processes (two loaders whose temporary names collide among them).
//
// Each kind of access (read, write, delete) has two lock bytes far beyond
// any data: every open that has that access holds a shared lock on its "has"
// byte, every open whose share mode leaves it out holds one on its "denies"
// byte. An open is refused when it asks for an access that someone denies, or
// denies one that someone has. A whole-file flock, held while checking and
// taking, makes the two one step. The locks go with the descriptor.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/posix_internal.h"
#include "platform/posix_share.h"

#define SHARE_LOCK_BASE (static_cast<off_t>(1) << 62)

static const uint32_t kAccessKinds[3] = {SHARE_ACCESS_READ, SHARE_ACCESS_WRITE, SHARE_ACCESS_DELETE};
static const DWORD kShareFlags[3] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};

static off_t HasByte(int kind) { return SHARE_LOCK_BASE + 1 + kind; }
static off_t DeniesByte(int kind) { return SHARE_LOCK_BASE + 4 + kind; }

static void Describe(struct flock* lock, short type, off_t at) {
  lock->l_type = type;
  lock->l_whence = SEEK_SET;
  lock->l_start = at;
  lock->l_len = 1;
  lock->l_pid = 0;
}

// Whether another open holds a lock on the byte.
static bool Held(int fd, off_t at) {
  struct flock lock = {};
  Describe(&lock, F_WRLCK, at);
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

static void Hold(int fd, off_t at) {
  struct flock lock = {};
  Describe(&lock, F_RDLCK, at);
  // A descriptor that cannot hold a shared lock (not open for reading)
  // takes part in the checks only.
  fcntl(fd, F_OFD_SETLK, &lock);
}

// The guard is taken without blocking, and given up on after a while: a
// foreign flock held for long must not hang the caller.
static bool Guard(int fd) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    usleep(1000);
  }
  return false;
}

uint32_t ShareAccessOf(DWORD desiredaccess) {
  uint32_t access = 0;
  if ((desiredaccess & (GENERIC_READ | PXQ_GENERIC_EXECUTE | PXQ_GENERIC_ALL)) != 0) access |= SHARE_ACCESS_READ;
  if ((desiredaccess & (GENERIC_WRITE | PXQ_GENERIC_ALL)) != 0) access |= SHARE_ACCESS_WRITE;
  if ((desiredaccess & (PXQ_DELETE | PXQ_GENERIC_ALL)) != 0) access |= SHARE_ACCESS_DELETE;
  return access;
}

DWORD TakeShareLocks(int fd, uint32_t access, DWORD sharemode, bool keep) {
  bool guarded = Guard(fd);
  bool refused = false;
  for (int kind = 0; kind < 3 && !refused; ++kind) {
    if ((access & kAccessKinds[kind]) != 0 && Held(fd, DeniesByte(kind))) refused = true;
    if ((sharemode & kShareFlags[kind]) == 0 && Held(fd, HasByte(kind))) refused = true;
  }
  if (!refused && keep) {
    for (int kind = 0; kind < 3; ++kind) {
      if ((access & kAccessKinds[kind]) != 0) Hold(fd, HasByte(kind));
      if ((sharemode & kShareFlags[kind]) == 0) Hold(fd, DeniesByte(kind));
    }
  }
  if (guarded) flock(fd, LOCK_UN);
  return refused ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
}
