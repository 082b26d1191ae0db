// The loader's start-up sequence.
#pragma once

#include <stdint.h>

#include "platform/types.h"

// The process-wide exit code: 0 at start; 250 to 255 for the loader's own
// failures, else the installer's exit code.
extern uint32_t ExitCode;

// The loader's own path where no ANSI form of it names the file (Windows NT,
// a path outside the ANSI code page without a short form that the code page
// holds): the own file is read through it and it is handed to the installer
// as it is. Null otherwise, until the own path is known, and after the run.
extern const WCHAR* ExactOwnPath;

// Runs the whole sequence, from taking the process id to removing the
// temporary copy, over the active platform backend, and returns ExitCode.
// It does not end the process, so tests and `pxq run` can call it.
uint32_t RunLoader();

// The Windows entry point: RunLoader, then ExitProcess with its result.
extern "C" void LoaderMain();
