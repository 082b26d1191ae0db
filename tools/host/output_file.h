// Outputs that never leave a half-written or wrong file behind: a file is
// built under a temporary name in its final directory and renamed over the
// final name only when complete; "-" is standard output. What is already at
// the final name is checked before any work: only a regular file (or
// nothing) may be replaced. A signal that ends pxq removes the staged file.
#pragma once

#include <stdint.h>

#include <string>

struct OutputFile {
  std::string path;       // the final name as given ("-": standard output)
  std::string temporary;  // the name it is built under ("" for standard output)
  int fd = -1;            // open for writing until committed or discarded
  bool standardoutput = false;
};

// True for "-", standard output.
bool IsStandardOutput(const std::string& path);
// "standard output" for "-", else the name.
std::string OutputDisplayName(const std::string& path);

// Checks the final name before any work: 0 when it is free or a regular
// file; EISDIR, PXQ_ERROR_SYMBOLIC_LINK, PXQ_ERROR_FIFO and the like for
// what pxq will not replace; an errno value when it cannot be looked at.
// For "-", PXQ_ERROR_TERMINAL when standard output is a terminal.
int CheckOutputName(const std::string& path);

// Creates the staged file, with the mode a new file gets (`mode` less the
// umask), and has it removed on a signal; for "-" takes standard output.
// 0 or an errno value.
int BeginOutput(const std::string& path, uint32_t mode, OutputFile* output);
// A scratch file of pxq's own in $TMPDIR (else /tmp), removed on a signal
// and by DiscardOutput.
int BeginScratchFile(OutputFile* output);
// The directory scratch files go to: $TMPDIR, else /tmp.
std::string ScratchDirectory();
// For a writer that opens the staged file by its name (the loader's own
// extraction): pxq's descriptor is closed where the host lets no one else
// write a file that is open (Windows); elsewhere nothing changes.
void LetOthersWriteOutput(OutputFile* output);
// Closes the staged file and renames it to the final name; on failure it
// is removed. For standard output: nothing to do. 0 or an errno value.
int CommitOutput(OutputFile* output);
// Closes and removes the staged file; the final name is left untouched.
void DiscardOutput(OutputFile* output);

// Copies a whole regular file to standard output. 0 or an errno value.
int CopyFileToStandardOutput(const std::string& path);

// Writes all of `count` bytes, resuming partial writes. 0 or an errno value.
int WriteFully(int fd, const uint8_t* bytes, size_t count);
