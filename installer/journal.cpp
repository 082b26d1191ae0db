// The transactional extraction's record of changes, and its undo.
#include "installer/journal.h"

#include "installer/file_layer.h"
#include "platform/heap.h"
#include "platform/types.h"

namespace {

void FreeStep(JournalStep* step) {
  FreeBlock(step->path);
  FreeBlock(step->backup);
  FreeBlock(step);
}

uint32_t UndoStep(const JournalStep* step) {
  switch (step->kind) {
    case JournalMadeFolder: return LayerRemoveFolder(step->path);
    case JournalMadeFile: return LayerRemoveFile(step->path);
    case JournalReplacedFile: {
      // The new file goes first, so that the old one can take its name back.
      uint32_t code = LayerRemoveFile(step->path);
      if (code == ERROR_FILE_NOT_FOUND) code = 0;
      return code != 0 ? code : LayerPutBack(step->backup, step->path);
    }
  }
  return 0;
}

}  // namespace

uint32_t JournalAdd(Journal* journal, JournalKind kind, const PxqPathChar* path, PxqPathChar* backup) {
  JournalStep* step = static_cast<JournalStep*>(AllocZeroed(sizeof(JournalStep)));
  uint32_t length = LayerLength(path);
  PxqPathChar* copy = step == nullptr ? nullptr : static_cast<PxqPathChar*>(AllocZeroed((length + 1) * sizeof(PxqPathChar)));
  if (copy == nullptr) {
    FreeBlock(step);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  CopyBytes(copy, path, length * sizeof(PxqPathChar));
  step->kind = kind;
  step->path = copy;
  step->backup = backup;
  step->previous = journal->last;
  journal->last = step;
  return 0;
}

void JournalUndo(Journal* journal, JournalFailure* failure) {
  failure->count = 0;
  failure->code = 0;
  failure->path = nullptr;
  while (JournalStep* step = journal->last) {
    journal->last = step->previous;
    uint32_t code = UndoStep(step);
    if (code != 0 && failure->count++ == 0) {
      failure->code = code;
      failure->path = step->path;
      step->path = nullptr;
    }
    FreeStep(step);
  }
}

void JournalKeep(Journal* journal) {
  while (JournalStep* step = journal->last) {
    journal->last = step->previous;
    if (step->kind == JournalReplacedFile) LayerRemoveFile(step->backup);
    FreeStep(step);
  }
}
