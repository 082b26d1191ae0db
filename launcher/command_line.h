// The installer's command line: the loader's own arguments taken from its
// command line, and the line assembled from five pieces.
#pragma once

#include <stdint.h>

// CreateProcessA takes at most 32,767 characters including the terminator,
// so an assembled line may hold at most 32,766.
#define COMMAND_LINE_LIMIT 32767u

// Steps over the program name at the start of `commandline`: spaces (0x20
// only), then a name in double quotes up to and including the closing quote
// (or the end), or else a name up to and including the first space (or the
// end), then spaces again. Returns the rest, the own argument text.
const char* SkipProgramName(const char* commandline);

// The five pieces in command-line order and their lengths in bytes.
enum CommandLinePiece : uint32_t {
  PieceTempPath,
  PieceArguments,
  PieceTag,
  PieceOwnArguments,
  PieceOwnPath,
  PieceCount
};

struct CommandLinePieces {
  const char* text[PieceCount];
  uint32_t length[PieceCount];
};

// The length of the assembled line, terminator not counted. 64-bit, so no
// sum of piece lengths can wrap.
uint64_t CommandLineLength(const CommandLinePieces* pieces);

// Writes "\"<temp path>\" <arguments> <tag> <own arguments> \"<own path>\""
// and its terminator: CommandLineLength + 1 bytes, no limit of its own.
void AssembleCommandLine(const CommandLinePieces* pieces, char* buffer);
