#include "launcher/command_line.h"

#include "platform/heap.h"

const char* SkipProgramName(const char* commandline) {
  const char* p = commandline;
  while (*p == ' ') ++p;
  if (*p == '"') {
    ++p;
    while (*p != 0 && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != 0 && *p != ' ') ++p;
    if (*p == ' ') ++p;
  }
  while (*p == ' ') ++p;
  return p;
}

// The characters around the pieces, in order: before each piece and after
// the last one.
static const char* const separators[PieceCount + 1] = {"\"", "\" ", " ", " ", " \"", "\""};
static const uint32_t separatorlengths[PieceCount + 1] = {1, 2, 1, 1, 2, 1};

// The pieces written: all, or all but the own path, which comes last.
static uint32_t PiecesWritten(const CommandLinePieces* pieces) {
  return pieces->ownpathlast ? PieceCount : PieceOwnPath;
}

uint64_t CommandLineLength(const CommandLinePieces* pieces) {
  const uint32_t count = PiecesWritten(pieces);
  uint64_t length = count == PieceCount ? separatorlengths[PieceCount] : 0;
  for (uint32_t i = 0; i < count; ++i) length += separatorlengths[i] + pieces->length[i];
  return length;
}

void AssembleCommandLine(const CommandLinePieces* pieces, char* buffer) {
  const uint32_t count = PiecesWritten(pieces);
  char* out = buffer;
  for (uint32_t i = 0; i < count; ++i) {
    CopyBytes(out, separators[i], separatorlengths[i]);
    out += separatorlengths[i];
    CopyBytes(out, pieces->text[i], pieces->length[i]);
    out += pieces->length[i];
  }
  // The closing quote belongs to the own path.
  if (count == PieceCount) {
    CopyBytes(out, separators[PieceCount], separatorlengths[PieceCount]);
    out += separatorlengths[PieceCount];
  }
  *out = 0;
}
