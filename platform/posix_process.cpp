// Child processes, the wait for them, and the message pump of a process that
// has no message queue.
//
// CreateProcessA reads the command line by the Windows rules into the
// child's argv (argv[0] as the line gives it) and starts the application
// with posix_spawn. glibc (2.24 on) and musl report a failed exec through
// posix_spawn's result, so a missing file (ERROR_FILE_NOT_FOUND), a file
// without execute permission (ERROR_ACCESS_DENIED) and a file that is no
// program, such as an empty one (ERROR_BAD_EXE_FORMAT), fail CreateProcessA
// itself, as on Windows. Without bInheritHandles the child gets no
// descriptor above the standard three. Its signals start with their default
// actions and none blocked.
//
// Exit codes: a child that exits gives its status (0 to 255; the host has no
// 32-bit exit codes); one ended by signal N gives 128 + N, as shells report it.
//
// The host has no window messages: PeekMessageA never finds one, and
// MsgWaitForMultipleObjects returns only for the processes (or a timeout).
// What it leaves out: waiting for anything but process handles
// (ERROR_INVALID_HANDLE), and fWaitAll TRUE, which also waits for input that
// never comes (ERROR_NOT_SUPPORTED).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix_internal.h"
#include "platform/posix_share.h"
#include "platform/windows_command_line.h"

extern char** environ;

#define PXQ_CREATE_UNICODE_ENVIRONMENT 0x00000400u
#define PXQ_ERROR_DIRECTORY 267u
#define PXQ_MAXIMUM_WAIT_OBJECTS 64u

// The variables of a Windows ANSI environment block: "NAME=value" strings,
// each ended by a zero, the block by one more.
static std::vector<std::string> ReadEnvironmentBlock(const char* block) {
  std::vector<std::string> variables;
  while (*block != '\0') {
    std::string variable(block);
    block += variable.size() + 1;
    variables.push_back(variable);
  }
  return variables;
}

BOOL PosixCreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                         LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                         LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                         LPPROCESS_INFORMATION lpProcessInformation) {
  (void)lpProcessAttributes;
  (void)lpThreadAttributes;
  if (lpStartupInfo == NULL || lpProcessInformation == NULL ||
      (lpApplicationName == NULL && lpCommandLine == NULL) ||
      (lpEnvironment != NULL && (dwCreationFlags & PXQ_CREATE_UNICODE_ENVIRONMENT) != 0)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> arguments;
  if (lpCommandLine != NULL) arguments = SplitWindowsCommandLine(lpCommandLine);
  // Without an application name the program is the line's first argument,
  // taken as a path (the host does not search for it).
  std::string program = lpApplicationName != NULL ? lpApplicationName : arguments.empty() ? "" : arguments[0];
  if (arguments.empty()) arguments.push_back(program);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(NULL);

  std::vector<std::string> variables;
  std::vector<char*> envp;
  char** environment = environ;
  if (lpEnvironment != NULL) {
    variables = ReadEnvironmentBlock(static_cast<const char*>(lpEnvironment));
    for (std::string& variable : variables) envp.push_back(&variable[0]);
    envp.push_back(NULL);
    environment = envp.data();
  }

  if (lpCurrentDirectory != NULL) {
    // Checked here: a failed chdir in the child would look like a missing program.
    struct stat status;
    if (stat(lpCurrentDirectory, &status) != 0 || !S_ISDIR(status.st_mode)) {
      PosixSetLastError(PXQ_ERROR_DIRECTORY);
      return FALSE;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  int result = 0;
  if (lpCurrentDirectory != NULL) result = posix_spawn_file_actions_addchdir_np(&actions, lpCurrentDirectory);
  if (result == 0 && !bInheritHandles) result = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  if (result == 0) result = posix_spawnattr_setsigdefault(&attributes, &all);
  if (result == 0) result = posix_spawnattr_setsigmask(&attributes, &none);
  if (result == 0) result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  // A running image can be neither written nor deleted on Windows: the
  // program's file is held, sharing reading only, until the child has ended.
  // One that someone has open for writing cannot be started.
  int image = -1;
  if (result == 0) {
    do {
      image = open(program.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (image < 0 && errno == EINTR);
    struct stat status;
    if (image >= 0 && (fstat(image, &status) != 0 || !S_ISREG(status.st_mode))) {
      close(image);
      image = -1;
    }
    if (image >= 0 && TakeShareLocks(image, SHARE_ACCESS_READ, FILE_SHARE_READ, true) != ERROR_SUCCESS) {
      close(image);
      posix_spawnattr_destroy(&attributes);
      posix_spawn_file_actions_destroy(&actions);
      PosixSetLastError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  pid_t pid = 0;
  if (result == 0) result = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environment);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    if (image >= 0) close(image);
    errno = result;
    PosixFailFromErrno();
    return FALSE;
  }

  PosixHandle* process = NewPosixHandle(PosixProcessHandle);
  process->pid = pid;
  process->fd = image;
  PosixHandle* thread = NewPosixHandle(PosixThreadHandle);
  thread->pid = pid;
  lpProcessInformation->hProcess = process;
  lpProcessInformation->hThread = thread;
  lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);  // the main thread's id is the pid
  return TRUE;
}

enum ChildState { ChildRunning, ChildEnded, ChildFailed };

// Collects the child's status if it has ended (waiting for that when
// `block`). ChildFailed leaves the Windows error in the last error.
static ChildState Reap(PosixHandle* process, bool block) {
  if (process->ended) return ChildEnded;
  int status = 0;
  pid_t result;
  do {
    result = waitpid(process->pid, &status, block ? 0 : WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return ChildRunning;
  if (result < 0) {
    PosixFailFromErrno();
    return ChildFailed;
  }
  process->ended = true;
  // The image is free once its process has ended.
  if (process->fd >= 0) {
    close(process->fd);
    process->fd = -1;
  }
  if (WIFEXITED(status)) {
    process->exitcode = static_cast<DWORD>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    process->exitcode = 128u + static_cast<DWORD>(WTERMSIG(status));
  } else {
    process->exitcode = static_cast<DWORD>(status);
  }
  return ChildEnded;
}

static uint64_t NowMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

DWORD PosixMsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                     DWORD dwWakeMask) {
  (void)dwWakeMask;  // no input ever arrives
  if (nCount == 0 || nCount >= PXQ_MAXIMUM_WAIT_OBJECTS || pHandles == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (fWaitAll) {
    PosixSetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  std::vector<PosixHandle*> processes;
  for (DWORD i = 0; i < nCount; i++) {
    PosixHandle* process = PosixHandleOf(pHandles[i], PosixProcessHandle);
    if (process == NULL) {
      PosixSetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    processes.push_back(process);
  }
  // One process and no time limit: block in waitpid. Anything else: look
  // at the children now and then until one has ended or the time is up.
  const bool blocking = nCount == 1 && dwMilliseconds == INFINITE;
  const uint64_t start = NowMilliseconds();
  long pause = 1;
  for (;;) {
    for (DWORD i = 0; i < nCount; i++) {
      ChildState state = Reap(processes[i], blocking);
      if (state == ChildFailed) return WAIT_FAILED;
      if (state == ChildEnded) return WAIT_OBJECT_0 + i;
    }
    uint64_t elapsed = NowMilliseconds() - start;
    if (dwMilliseconds != INFINITE && elapsed >= dwMilliseconds) return WAIT_TIMEOUT;
    long sleep = pause;
    if (dwMilliseconds != INFINITE && static_cast<uint64_t>(sleep) > dwMilliseconds - elapsed) {
      sleep = static_cast<long>(dwMilliseconds - elapsed);
    }
    struct timespec interval = {0, sleep * 1000000L};
    nanosleep(&interval, NULL);
    if (pause < 20) pause *= 2;
  }
}

BOOL PosixGetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  PosixHandle* process = PosixHandleOf(hProcess, PosixProcessHandle);
  if (process == NULL) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  switch (Reap(process, false)) {
    case ChildRunning:
      *lpExitCode = STILL_ACTIVE;
      return TRUE;
    case ChildEnded:
      *lpExitCode = process->exitcode;
      return TRUE;
    case ChildFailed:
      break;
  }
  return FALSE;
}

BOOL PosixPeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  (void)lpMsg;
  (void)hWnd;
  (void)wMsgFilterMin;
  (void)wMsgFilterMax;
  (void)wRemoveMsg;
  return FALSE;
}

BOOL PosixTranslateMessage(const MSG* lpMsg) {
  (void)lpMsg;
  return FALSE;
}

LRESULT PosixDispatchMessageA(const MSG* lpMsg) {
  (void)lpMsg;
  return 0;
}

// The process's own environment, which children started without a block of
// their own inherit. Removing a variable that is not set succeeds, as on
// Windows NT. A name that is empty or holds '=' is ERROR_INVALID_PARAMETER.
BOOL PosixSetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
  if (lpName == NULL || lpName[0] == '\0' || strchr(lpName, '=') != NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int result = lpValue != NULL ? setenv(lpName, lpValue, 1) : unsetenv(lpName);
  if (result != 0) {
    PosixFailFromErrno();
    return FALSE;
  }
  return TRUE;
}

// The wide texts in the ANSI code page, in which the host's programs take
// their arguments: a character that the code page lacks becomes '?', as
// Windows hands it to an ANSI program. Null stays null.
static bool Narrow(LPCWSTR text, std::string* narrow) {
  if (text == NULL) return false;
  size_t length = 0;
  while (text[length] != 0) ++length;
  narrow->assign(length * 2, '\0');
  int bytes = length == 0 ? 0
                          : PosixWideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &(*narrow)[0],
                                                     static_cast<int>(narrow->size()), NULL, NULL);
  narrow->resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
  return true;
}

BOOL PosixCreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                         LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                         LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                         LPPROCESS_INFORMATION lpProcessInformation) {
  // Only an environment block in the ANSI code page is read (as by CreateProcessA).
  if (lpStartupInfo == NULL || (lpEnvironment != NULL && (dwCreationFlags & PXQ_CREATE_UNICODE_ENVIRONMENT) != 0)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string application, line, directory;
  const bool hasapplication = Narrow(lpApplicationName, &application);
  const bool hasline = Narrow(lpCommandLine, &line);
  const bool hasdirectory = Narrow(lpCurrentDirectory, &directory);
  // The two records differ only in the type of their (unread) text fields.
  STARTUPINFOA startup;
  memcpy(&startup, lpStartupInfo, sizeof(startup));
  return PosixCreateProcessA(hasapplication ? application.c_str() : NULL, hasline ? &line[0] : NULL,
                             lpProcessAttributes, lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                             hasdirectory ? directory.c_str() : NULL, &startup, lpProcessInformation);
}
