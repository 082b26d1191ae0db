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
// TempNameKey in upper-case hexadecimal. When the whole path would not fit the
// buffer, the buffer is left empty instead: nothing is extracted under a cut
// name, and the removal step has nothing to do.
void FormTemporaryPath(char* temppath, const char* ownpath, uint32_t processid);

// Deletes the file named by `temppath` (attributes reset first), retrying
// every 500 ms while access is denied, at most 10 attempts. Calls nothing at
// all while the path is empty. Reports nothing.
void RemoveTemporaryCopy(const char* temppath);
