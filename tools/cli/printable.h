// Text read from a file, made safe to print on a terminal.
#pragma once

#include <string>

// `text` with each control byte (below 0x20, and 0x7F) written as \xNN: a
// file's tag, version strings, signer or entry names cannot move the
// cursor, change colours or end a line early (a NUL would cut the line
// short), whatever the file holds. Other bytes, UTF-8 included, stay.
std::string Printable(const std::string& text);

// The columns `text` (UTF-8) takes on a terminal, as wcwidth counts them:
// East Asian wide and fullwidth characters 2, combining marks and other
// zero-width characters 0, the rest 1 (a byte that is not UTF-8: 1).
int DisplayWidth(const std::string& text);
