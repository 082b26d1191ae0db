// Paths in the system's ANSI code page. The loader names its files through
// the ANSI calls; where the code page cannot hold a path (a folder named in
// another script), those calls give a lossy path (best-fit letters and
// question marks) that names no file. The short (8.3) form of such a path
// names the same file and is plain ASCII wherever the volume keeps short
// names.
#pragma once

#include <stdint.h>

#include "platform/types.h"

// The size of a wide path buffer, in UTF-16 units, terminator included.
#define WIDE_PATH_SIZE 520u

// `path` holds what an ANSI call gave (room for `size` bytes, at most
// WIDE_PATH_SIZE), `widepath` what the matching wide call gave. Leaves `path`
// as it is when it reads back as `widepath` exactly; otherwise puts the short
// form of `widepath`, in the ANSI code page, in its place. Returns 0, or why
// there is no usable form: the error of GetShortPathNameW or of the
// conversion, ERROR_INSUFFICIENT_BUFFER when the short form does not fit, or
// ERROR_NO_UNICODE_TRANSLATION when the code page cannot hold the short form
// either (the volume keeps no short names). `path` then names no file: it
// holds `widepath` in the code page with '_' for every character the code
// page lacks (no best-fit letters), a name fit for a file of one's own, or
// when even that conversion fails, the ANSI call's text as it was.
uint32_t UseExactAnsiPath(char* path, uint32_t size, const WCHAR* widepath);
