// POSIX fnmatch() for the Windows build, which mingw-w64 lacks: the shell's
// wildcards (*, ?, [set], [!set], ranges, \ escaping); with FNM_PATHNAME no
// wildcard matches '/'. Bytes are compared as they are (UTF-8 names).
#pragma once

#define FNM_NOMATCH 1
#define FNM_NOESCAPE 0x01
#define FNM_PATHNAME 0x02

#ifdef __cplusplus
extern "C" {
#endif
int fnmatch(const char* pattern, const char* name, int flags);
#ifdef __cplusplus
}
#endif
