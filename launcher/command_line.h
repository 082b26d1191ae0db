// The installer's command line: the loader's own arguments taken from its
// command line, and the line assembled from five pieces. The loader works
// in UTF-16 (char serves the tests and the fuzz targets alike).
#pragma once

#include <stdint.h>

#include "platform/types.h"

// CreateProcess takes at most 32,767 characters including the terminator,
// so an assembled line may hold at most 32,766.
#define COMMAND_LINE_LIMIT 32767u

// Steps over the program name at the start of `commandline`: spaces (0x20
// only), then a name in double quotes up to and including the closing quote
// (or the end), or else a name up to and including the first space (or the
// end), then spaces again. Returns the rest, the own argument text.
template <typename Char>
const Char* SkipProgramName(const Char* commandline) {
  const Char* p = commandline;
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

// The five pieces in command-line order and their lengths in characters.
enum CommandLinePiece : uint32_t {
  PieceTempPath,
  PieceArguments,
  PieceTag,
  PieceOwnArguments,
  PieceOwnPath,
  PieceCount
};

template <typename Char>
struct CommandLinePiecesOf {
  const Char* text[PieceCount];
  uint32_t length[PieceCount];
};
typedef CommandLinePiecesOf<char> CommandLinePieces;
typedef CommandLinePiecesOf<WCHAR> WideCommandLinePieces;

// The characters around the pieces, in order: before each piece and after
// the last one, each set ended by a zero; eight in all.
#define COMMAND_LINE_SEPARATORS "\"\0\" \0 \0 \0 \"\0\""
#define COMMAND_LINE_SEPARATOR_LENGTH 8u

// The length of the assembled line, terminator not counted. 64-bit, so no
// sum of piece lengths can wrap.
template <typename Char>
uint64_t CommandLineLength(const CommandLinePiecesOf<Char>* pieces) {
  uint64_t length = COMMAND_LINE_SEPARATOR_LENGTH;
  for (uint32_t i = 0; i < PieceCount; ++i) length += pieces->length[i];
  return length;
}

// Writes "\"<temp path>\" <arguments> <tag> <own arguments> \"<own path>\""
// and its terminator: CommandLineLength + 1 characters, no limit of its own.
template <typename Char>
void AssembleCommandLine(const CommandLinePiecesOf<Char>* pieces, Char* buffer) {
  const char* separator = COMMAND_LINE_SEPARATORS;
  Char* out = buffer;
  for (uint32_t i = 0;; ++i) {
    while (*separator != 0) *out++ = static_cast<Char>(*separator++);
    ++separator;
    if (i == PieceCount) break;
    for (uint32_t j = 0; j < pieces->length[i]; ++j) *out++ = pieces->text[i][j];
  }
  *out = 0;
}
