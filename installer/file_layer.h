// The installer library's file layer: what the data archive reader needs of
// the system beyond the platform seam that package/ reads through. Wide
// paths on Windows (file_layer_win32.cpp), POSIX on the host
// (file_layer_posix.cpp). No standard library: installers link it as it is.
#pragma once

#include <stdint.h>

#include "pxq/installer_data.h"
#include "platform/types.h"

#ifndef ERROR_BAD_ARGUMENTS
#define ERROR_BAD_ARGUMENTS 160u
#endif

// Installs the platform seam the reader uses, unless one is active.
void LayerUsePlatform();

// A path in a heap block (AllocZeroed), NUL-terminated; FreeBlock frees it.
uint32_t LayerLength(const PxqPathChar* path);

// `directory` + separator + the UTF-8 `name` ('/' becoming the system's
// separator), or null when memory runs out or the name cannot be converted.
PxqPathChar* LayerJoin(const PxqPathChar* directory, const char* name, uint32_t namelength);

// A copy of `path` cut before its last separator (the parent directory), or
// null when it has none; `*hasparent` says which.
PxqPathChar* LayerParent(const PxqPathChar* path, bool* hasparent);

// `path` in the form that reaches paths of any length (a heap block), or
// null when memory runs out (a path that cannot be made full is kept as
// given, for the calls to refuse): on Windows the absolute path with the prefix
// \\?\ (\\?\UNC\ for a share), which lifts the limit of 260 characters, so
// that deep product trees extract wherever the installer puts them;
// elsewhere a copy.
PxqPathChar* LayerFullPath(const PxqPathChar* path);

// The path as UTF-8 for messages (a heap block), or null; without the
// prefix that LayerFullPath adds.
char* LayerDisplayPath(const PxqPathChar* path);

// The last argument of this process's command line (a heap block), and
// the number of its arguments, the program's name counted (as argc), which
// `*count` receives even when there is no argument after the name (then
// ERROR_BAD_ARGUMENTS).
uint32_t LayerSelfPath(PxqPathChar** path, uint32_t* count);

// The variable PXQ_LOADER_PATH of this process's environment (a heap
// block), where a loader packed with `--loader-path environment` puts its
// path; 203 (ERROR_ENVVAR_NOT_FOUND) when it is not set or empty.
uint32_t LayerLoaderPathVariable(PxqPathChar** path);

// Opens `path` for reading through the platform seam (Sys().ReadFile and
// Sys().CloseHandle serve the handle).
uint32_t LayerOpenRead(const PxqPathChar* path, HANDLE* file);

// Creates the directory `path`; one already there is accepted when it is a
// directory and not a link (183 otherwise: nothing is followed), or with
// `allowlink` a link to a directory (the target the caller named). `*made`
// says whether this call made it.
uint32_t LayerMakeDirectory(const PxqPathChar* path, bool allowlink, bool* made);

// The folder that holds `path` (a heap block, without a separator at its
// end unless it is a root), or null when `path` is a root or has no folder
// named in it, or memory ran out.
PxqPathChar* LayerParentFolder(const PxqPathChar* path);

// Whether a result of LayerMakeDirectory means that a folder on the way is
// missing.
bool LayerIsMissingParent(uint32_t code);

// Moves the file (or link) at `path` aside, to a new name beside it that
// `*backup` receives (a heap block); nothing is moved, and `*backup` is
// null, when nothing or a directory is there.
uint32_t LayerSetAside(const PxqPathChar* path, PxqPathChar** backup);

// Renames the file `backup` back to `path`, where nothing stands.
uint32_t LayerPutBack(const PxqPathChar* backup, const PxqPathChar* path);

// Removes the file (or link) `path`, read-only or not.
uint32_t LayerRemoveFile(const PxqPathChar* path);

// Removes the empty folder `path`.
uint32_t LayerRemoveFolder(const PxqPathChar* path);

// A file being written.
struct LayerFile {
  intptr_t handle;           // the system's handle or descriptor; -1 when none
  PxqPathChar* temporary;    // its temporary name, beside its final name
};

// Creates a new temporary file beside `finalpath` (never an existing one).
uint32_t LayerCreateTemporary(const PxqPathChar* finalpath, LayerFile* file);
uint32_t LayerWrite(LayerFile* file, const uint8_t* bytes, uint32_t count);
// Sets the last-write time, closes the file and renames it over
// `finalpath` (a read-only file there is replaced), then gives it
// `attributes` (read-only: no write permission on the host). A folder at
// `finalpath` gives 336 (ERROR_DIRECTORY_NOT_SUPPORTED).
uint32_t LayerCommit(LayerFile* file, const PxqPathChar* finalpath, uint64_t lastwritetime, uint32_t attributes);
// Closes and removes the temporary file. Harmless when repeated.
void LayerDiscard(LayerFile* file);

// A host program that ends on a signal or a console control event (pxq) is
// told of each temporary file so that its handler removes what is staged:
// before the file is made (`Making`: the program holds its signals back and
// notes the name), after (`Made` or `NotMade`: it lets them through again,
// forgetting the name when none was made), and once the name is gone,
// renamed or removed (`Gone`). On Windows the file is opened so that the
// handler can delete it while it is being written.
enum LayerTemporaryEvent { LayerTemporaryMaking, LayerTemporaryMade, LayerTemporaryNotMade, LayerTemporaryGone };
typedef void (*LayerTemporaryWatch)(const PxqPathChar* path, LayerTemporaryEvent event);
// Null: nobody is told (the default).
void LayerWatchTemporaries(LayerTemporaryWatch watch);
