// The inputs of the data archive (`pxq pack --data SRC[=DEST]... --exclude
// GLOB...`): files by their base name, directories by their contents,
// recursively, with names relative to the directory given and '/' between
// components; DEST places an input under another name.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/writer/writer.h"

// Gives an item its time and attributes from its file's status.
using DataItemStamper = std::function<void(const struct stat& info, DataArchiveItem* item)>;

// One --data value: SOURCE, or SOURCE=DEST. A value that names an existing
// file or directory as a whole is a SOURCE, '=' and all; else the first
// '=' splits it. DEST is the folder that a directory's contents go into,
// or a file's name in the archive (a folder for it when DEST ends in '/').
struct DataInput {
  std::string source;
  std::string destination;  // "" when none was given
  bool placed = false;      // DEST was given
};
DataInput SplitDataInput(const std::string& value);

// Whether `glob` (an --exclude pattern) leaves out the item `name`: a glob
// without '/' is matched against the name's last component, one with '/'
// against the whole name (its '*' and '?' never match '/'); a glob ending
// in '/' matches directories only. A directory left out takes its contents
// with it.
bool DataNameExcluded(const std::string& glob, const std::string& name, bool directory);

// Collects the items of `inputs` in archive order (each directory before
// its contents; entries of a directory sorted by name), leaving out what
// `excludes` match, and adds the bytes of their files to `*bytes`. "" on
// success, else "PATH: what is wrong": a link, a device, a FIFO or a
// socket; a name that an installer would refuse or that Windows cannot
// hold; two items of one name (letter case aside, as Windows compares
// names), or an item below a file's name.
std::string CollectDataItems(const std::vector<DataInput>& inputs, const std::vector<std::string>& excludes,
                             const DataItemStamper& stamp, std::vector<DataArchiveItem>* items, uint64_t* bytes);
