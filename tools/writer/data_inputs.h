// The inputs of the data archive (`pxq pack --data PATH...`): files by their
// base name, directories by their contents, recursively, with names
// relative to the directory given and '/' between components.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/writer/writer.h"

// Gives an item its time and attributes from its file's status.
using DataItemStamper = std::function<void(const struct stat& info, DataArchiveItem* item)>;

// Collects the items of `paths` in archive order (each directory before its
// contents; entries of a directory sorted by name) and adds the bytes of
// their files to `*bytes`. "" on success, else "PATH: what is wrong": a
// link, a device, a FIFO or a socket; a name that an installer would refuse
// or that Windows cannot hold; two items of one name (letter case aside,
// as Windows compares names).
std::string CollectDataItems(const std::vector<std::string>& paths, const DataItemStamper& stamp,
                             std::vector<DataArchiveItem>* items, uint64_t* bytes);
