// Reading the version resource of a PE file held in memory: where the
// version block lies in the file, and the value a query path names in it.
// The file may be hostile: every offset and length is checked against the
// bytes given, nothing outside them is read, and every walk ends.
#pragma once

#include <stddef.h>

#include "platform/types.h"

// Finds the version block: the first name, and its first language, under the
// resource type RT_VERSION (16). (Windows looks for name 1 in the user's
// language first; a file with one version resource gives the same block.) Returns 0 and the block's file offset and
// length (its own length field, at most its resource data's size), or
// ERROR_BAD_EXE_FORMAT (not a PE file, or a structure that does not fit the
// file), ERROR_RESOURCE_DATA_NOT_FOUND (no resource directory),
// ERROR_RESOURCE_TYPE_NOT_FOUND (no version resource),
// ERROR_RESOURCE_NAME_NOT_FOUND / ERROR_RESOURCE_LANG_NOT_FOUND (an empty
// level below it).
DWORD FindVersionBlock(const uint8_t* file, size_t size, size_t* offset, size_t* length);

// A value inside a version block: its offset from the block's start, its
// length in bytes, and whether it is text (UTF-16) or binary.
struct VersionValue {
  size_t offset;
  size_t length;
  bool text;
};

// Follows `path` (UTF-16, `count` units, components separated by
// backslashes, empty components ignored) from the block's root node; keys
// compare without regard to case. An empty path names the root's value (the
// fixed file information). Returns false when a component is not found or
// the block is malformed on the way. `size` bounds everything read; the
// root's own length field bounds it further.
bool FindVersionValue(const uint8_t* block, size_t size, const WCHAR* path, size_t count, VersionValue* value);
