#include "tools/host/signals.h"

#include <limits.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
const int kSlots = 4;

// Read by the handler: fixed storage only, each slot used when its first byte is set.
char removals[kSlots][PATH_MAX];
volatile sig_atomic_t forwarding = 0;
volatile sig_atomic_t child = 0;
volatile sig_atomic_t received = 0;

void RemoveAll() {
  for (int i = 0; i < kSlots; ++i) {
    if (removals[i][0] != '\0') unlink(removals[i]);
  }
}

[[noreturn]] void EndNow(int signal) {
  RemoveAll();
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  raise(signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  // Still here: the default action does not end this process (pid 1 in a container).
  _exit(128 + signal);
}

void OnSignal(int signal) {
  if (!forwarding) EndNow(signal);
  if (received == 0) received = signal;
  pid_t pid = static_cast<pid_t>(child);
  if (pid > 0) kill(pid, signal);
}

sigset_t HandledSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void InstallSignalHandlers() {
  for (int signal : kSignals) {
    struct sigaction old;
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    action.sa_mask = HandledSet();  // one handler at a time
    sigaction(signal, &action, nullptr);
  }
}

void HoldSignals() {
  sigset_t set = HandledSet();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseSignals() {
  sigset_t set = HandledSet();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// The slots change with the signals held; the mask is restored as it was,
// so that these may be called while a caller holds them too.
void RemoveOnSignal(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  sigset_t set = HandledSet(), old;
  sigprocmask(SIG_BLOCK, &set, &old);
  for (int i = 0; i < kSlots; ++i) {
    if (removals[i][0] != '\0') continue;
    memcpy(removals[i], path.c_str(), path.size() + 1);
    break;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void KeepOnSignal(const std::string& path) {
  sigset_t set = HandledSet(), old;
  sigprocmask(SIG_BLOCK, &set, &old);
  for (int i = 0; i < kSlots; ++i) {
    if (removals[i][0] != '\0' && path == removals[i]) removals[i][0] = '\0';
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void ForwardSignals() { forwarding = 1; }

void ForwardSignalsTo(pid_t pid) { child = static_cast<sig_atomic_t>(pid); }

int ReceivedSignal() { return received; }

void EndBySignal(int signal) {
  HoldSignals();
  EndNow(signal);
}
