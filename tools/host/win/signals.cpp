// Console control events on Windows: Ctrl+C, Ctrl+Break and a closed
// console window (or a logoff or shutdown) remove the files being staged
// and end pxq, as SIGINT, SIGTERM and SIGHUP do on POSIX. Under `pxq run`
// the installer, which shares pxq's console, gets the event itself; pxq
// remembers it and ends once the loader has waited for the installer and
// removed its copy.
//
// Windows delivers the events on a thread of their own. A critical section
// stands for the blocked signal mask: the handler takes it before it
// removes anything, so that it waits out a step that must not be cut in two.
#include "tools/host/signals.h"

#include <signal.h>
#include <windows.h>

#include "tools/host/win/control_event.h"
#include "tools/host/win/posix_names.h"

namespace {

const int kSlots = 4;
const DWORD kControlExit = 0xC000013Au;  // STATUS_CONTROL_C_EXIT, the exit code of a process ended by Ctrl+C

CRITICAL_SECTION lock;
bool locked = false;
std::wstring removals[kSlots];
volatile LONG forwarding = 0;
volatile LONG received = 0;

void Lock() {
  if (locked) EnterCriticalSection(&lock);
}

void Unlock() {
  if (locked) LeaveCriticalSection(&lock);
}

void RemoveAll() {
  for (std::wstring& name : removals) {
    if (!name.empty()) DeleteFileW(name.c_str());
    name.clear();
  }
}

int SignalOfEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return SIGINT;
    case CTRL_BREAK_EVENT:
      return SIGBREAK;
    default:
      return SIGTERM;  // the console closed, a logoff or a shutdown
  }
}

}  // namespace

BOOL WINAPI OnConsoleControlEvent(DWORD event) {
  if (forwarding) {
    InterlockedCompareExchange(&received, SignalOfEvent(event), 0);
    return TRUE;
  }
  Lock();
  RemoveAll();
  ExitProcess(kControlExit);
  return TRUE;
}

void InstallSignalHandlers() {
  if (!locked) {
    InitializeCriticalSection(&lock);
    locked = true;
  }
  SetConsoleCtrlHandler(OnConsoleControlEvent, TRUE);
}

void HoldSignals() { Lock(); }

void ReleaseSignals() { Unlock(); }

void RemoveOnSignal(const std::string& path) {
  Lock();
  for (std::wstring& name : removals) {
    if (!name.empty()) continue;
    name = WidePath(path);
    break;
  }
  Unlock();
}

void KeepOnSignal(const std::string& path) {
  Lock();
  std::wstring wide = WidePath(path);
  for (std::wstring& name : removals) {
    if (name == wide) name.clear();
  }
  Unlock();
}

void ForwardSignals() { InterlockedExchange(&forwarding, 1); }

void ForwardSignalsTo(pid_t) {}

int ReceivedSignal() { return static_cast<int>(received); }

void EndBySignal(int) {
  Lock();
  RemoveAll();
  ExitProcess(kControlExit);
}
