// The loader's start-up sequence.
#pragma once

#include <stdint.h>

// The process-wide exit code: 0 at start; 250 to 255 for the loader's own
// failures, else the installer's exit code.
extern uint32_t ExitCode;

// Runs the whole sequence, from taking the process id to removing the
// temporary copy, over the active platform backend, and returns ExitCode.
// It does not end the process, so tests and `pxq run` can call it.
uint32_t RunLoader();

// The Windows entry point: RunLoader, then ExitProcess with its result.
extern "C" void LoaderMain();
