// A .ico file as the stub's icon: checked, then split into its RT_ICON
// images and the RT_GROUP_ICON directory that names them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/release/resource_tree.h"

// Checks that a .ico file can be split into RT_ICON and RT_GROUP_ICON
// resources. "" or what is wrong. Each image must lie inside the file and
// no two may overlap, so that the images pack copies out add up to no more
// than the file (time: n log n in the images, at most 65,535).
std::string CheckIconFile(const std::vector<uint8_t>& ico);

// RT_ICON 1..n, one per image, and RT_GROUP_ICON 1, added to `resources`;
// the icon file has passed CheckIconFile.
void AddIconResources(const std::vector<uint8_t>& ico, std::vector<Resource>* resources);
