// The temporary copy of the installer: its name, formed in the temporary
// path buffer, and its removal at the end of the run.
#pragma once

#include <stdint.h>

// The size of the temporary path buffer, terminator included.
#define TEMPORARY_PATH_SIZE 520u

// The key in the temporary file's name: the process id's two 16-bit halves
// combined with XOR.
uint16_t TempNameKey(uint32_t processid);

// `temppath` (a buffer of TEMPORARY_PATH_SIZE bytes) holds the temporary
// directory with its trailing backslash; on return it holds
// <directory><own base name without its last extension>-XXXX.exe, XXXX being
// TempNameKey in upper-case hexadecimal, and the result is 0. When no whole
// path can be formed the buffer is left empty instead, so that nothing is
// extracted under a cut name and the removal step has nothing to do; the
// result then says why: ERROR_FILENAME_EXCED_RANGE when the path would not
// fit the buffer, else the error of the formatter that failed to write the
// suffix (ERROR_INVALID_DATA where it gives none).
uint32_t FormTemporaryPath(char* temppath, const char* ownpath, uint32_t processid);

// Deletes the file named by `temppath` (attributes reset first), retrying
// every 500 ms while access is denied, at most 10 attempts. Calls nothing at
// all while the path is empty. Reports nothing.
void RemoveTemporaryCopy(const char* temppath);
