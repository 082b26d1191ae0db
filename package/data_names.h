// Names of the data archive as Windows compares them: letter case aside, so
// that two names that differ only in case are one file on Windows, and a
// name that is a file cannot also be a folder. Shared by the installer
// library and pxq pack; no standard library here.
#pragma once

#include <stdint.h>

#include "package/data_archive.h"

// The upper-case form by which Windows compares a name's character: ASCII,
// Latin-1 and Latin Extended-A, the regular pairs of Latin Extended-B and
// Latin Extended Additional, Greek, Cyrillic, Armenian, Roman numerals,
// circled letters and fullwidth Latin. Other code points are their own.
uint32_t FoldDataCodePoint(uint32_t codepoint);

// Orders two names letter case aside, component by component ('/' before
// any character, so that a name's descendants follow it directly): <0, 0
// or >0. Bytes that are not UTF-8 compare as themselves.
int CompareDataNames(const char* a, uint32_t alength, const char* b, uint32_t blength);

// How an item's name clashes with another's.
enum DataNameClash {
  DataClashNone = 0,
  DataClashSame,      // the same name twice
  DataClashCase,      // names that differ only in letter case
  DataClashUnderFile, // one is a file and the other lies below it ("a" and "a/b")
};

// Finds the clashes among `count` items: `other[i]` gets the number (from 1)
// of an item that item i clashes with, or 0. Each item of a clash is
// marked. 0, or 8 when memory runs out (the scratch space is count words).
uint32_t FindDataNameClashes(const DataItem* items, uint32_t count, uint32_t* other);

// The kind of clash between two items that FindDataNameClashes paired.
DataNameClash DataClashKind(const DataItem* a, const DataItem* b);

// The clash in words, completing "the name ... " with the other's name
// to follow ("is also the name of entry").
const char* DataClashText(DataNameClash clash);
