// What pxq does on SIGINT, SIGTERM and SIGHUP: files being staged are
// removed, and pxq ends by the same signal (a shell sees 128 + N). Under
// `pxq run` the signal is passed on to the installer instead, and pxq ends
// by it once the loader has waited for the installer and removed its copy.
#pragma once

#include <sys/types.h>

#include <string>

// Installs the handlers. A signal that was ignored when pxq started (nohup,
// a background job without job control) stays ignored.
void InstallSignalHandlers();

// Files removed when a signal ends pxq (at most four at a time).
void RemoveOnSignal(const std::string& path);
void KeepOnSignal(const std::string& path);

// Holds the three signals back around a step that must not be cut in two
// (a rename and forgetting the old name); they arrive on release.
void HoldSignals();
void ReleaseSignals();

// From now on a signal is remembered and passed on to `pid` once it is set,
// instead of ending pxq. 0: no process to pass it to.
void ForwardSignals();
void ForwardSignalsTo(pid_t pid);
// The first signal received while forwarding, or 0.
int ReceivedSignal();

// Removes the files above, then ends the process by `signal` (the default
// action), or with 128 + signal where the default action does not end it.
[[noreturn]] void EndBySignal(int signal);
