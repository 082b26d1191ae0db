// The release code reads files only through these three, which the host's
// I/O layer provides (tools/host/input_file.cpp, over POSIX and Windows
// alike), so that the library itself makes no system call and carries over
// to another host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Reads up to `count` bytes at `offset` of a regular file; *got gets how
// many there were. 0 or a Windows error (5 for a file that is not a
// regular file).
uint32_t ReadFileAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got);
// The file's size. 0 or a Windows error.
uint32_t FileSizeOf(const std::string& path, uint64_t* size);
// A failed access's code in the host's words ("No such file or directory"),
// or "" when the host has no cause for it.
std::string FileErrorWords(uint32_t code);
