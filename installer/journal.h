// What a transactional extraction changed in the target, step by step, so
// that a failed or cancelled one can put the target back as it was: the
// folders and files it made are removed, and each file it replaced comes
// back from the copy it was renamed to (its own bytes, times and
// attributes: a rename keeps them all). No standard library: installers
// link it.
#pragma once

#include <stdint.h>

#include "pxq/installer_data.h"

enum JournalKind {
  JournalMadeFolder,    // `path` was made: removed on undo
  JournalMadeFile,      // `path` is new: removed on undo
  JournalReplacedFile,  // `path` replaced the file now at `backup`
};

struct JournalStep {
  JournalStep* previous;
  JournalKind kind;
  PxqPathChar* path;    // heap blocks, owned by the step
  PxqPathChar* backup;
};

struct Journal {
  JournalStep* last;  // the newest step; undone first
};

// Adds a step, taking a copy of `path` and the block `backup` (null but
// for JournalReplacedFile). 8 (ERROR_NOT_ENOUGH_MEMORY) when it cannot,
// with `backup` left to the caller.
uint32_t JournalAdd(Journal* journal, JournalKind kind, const PxqPathChar* path, PxqPathChar* backup);

// Where an undo stopped short: the number of steps that failed and the
// first of them.
struct JournalFailure {
  uint32_t count;
  uint32_t code;        // the system's error number of the first
  PxqPathChar* path;    // its path (a heap block), or null
};

// Undoes every step, newest first, and empties the journal. A step that
// fails is counted and the others are still undone.
void JournalUndo(Journal* journal, JournalFailure* failure);

// Keeps the changes: removes the replaced files' copies and empties the
// journal. A copy that cannot be removed stays (it does no harm).
void JournalKeep(Journal* journal);
