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

uint64_t CommandLineLength(const CommandLinePieces* pieces) {
  uint64_t length = 0;
  for (uint32_t i = 0; i <= PieceCount; ++i) length += separatorlengths[i];
  for (uint32_t i = 0; i < PieceCount; ++i) length += pieces->length[i];
  return length;
}

void AssembleCommandLine(const CommandLinePieces* pieces, char* buffer) {
  char* out = buffer;
  for (uint32_t i = 0; i <= PieceCount; ++i) {
    CopyBytes(out, separators[i], separatorlengths[i]);
    out += separatorlengths[i];
    if (i == PieceCount) break;
    CopyBytes(out, pieces->text[i], pieces->length[i]);
    out += pieces->length[i];
  }
  *out = 0;
}
