#include "tools/release/icons.h"

#include <algorithm>
#include <utility>

#include "tools/release/pe_image.h"

// ICONDIR (reserved 0, type 1, count) and 16-byte ICONDIRENTRYs: width,
// height, colours, reserved, planes, bit count, bytes, offset.
std::string CheckIconFile(const std::vector<uint8_t>& ico) {
  if (ico.size() < 6 || GetLe16(ico.data()) != 0 || GetLe16(ico.data() + 2) != 1)
    return "not an icon file (.ico: no icon directory at its start)";
  size_t count = GetLe16(ico.data() + 4);
  if (count == 0) return "the icon file holds no image";
  if ((ico.size() - 6) / 16 < count) return "the icon file's directory is cut short";
  // (offset, end, number) of each image: the images may not overlap, so
  // that what pack copies out adds up to no more than the file.
  std::vector<std::pair<std::pair<uint32_t, uint32_t>, size_t>> images(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = ico.data() + 6 + 16 * i;
    uint32_t size = GetLe32(entry + 8), offset = GetLe32(entry + 12);
    if (size == 0 || offset > ico.size() || ico.size() - offset < size)
      return "image " + std::to_string(i + 1) + " of the icon file lies outside it";
    images[i] = {{offset, offset + size}, i + 1};
  }
  std::sort(images.begin(), images.end());
  for (size_t i = 1; i < count; ++i) {
    if (images[i].first.first < images[i - 1].first.second) {
      size_t a = std::min(images[i - 1].second, images[i].second), b = std::max(images[i - 1].second, images[i].second);
      return "images " + std::to_string(a) + " and " + std::to_string(b) + " of the icon file overlap";
    }
  }
  return "";
}

// RT_ICON 1..n, one per image, and RT_GROUP_ICON 1: the icon directory with
// 14-byte entries whose last word is the RT_ICON id in place of the offset.
void AddIconResources(const std::vector<uint8_t>& ico, std::vector<Resource>* resources) {
  size_t count = GetLe16(ico.data() + 4);
  Resource group;
  group.type = ResourceId(RT_GROUP_ICON_TYPE);
  group.name = ResourceId(1);
  group.data.assign(ico.begin(), ico.begin() + 6);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = ico.data() + 6 + 16 * i;
    uint32_t size = GetLe32(entry + 8), offset = GetLe32(entry + 12);
    Resource image;
    image.type = ResourceId(RT_ICON_TYPE);
    image.name = ResourceId(static_cast<uint16_t>(i + 1));
    image.data.assign(ico.begin() + offset, ico.begin() + offset + size);
    resources->push_back(image);
    group.data.insert(group.data.end(), entry, entry + 12);
    group.data.insert(group.data.end(), {static_cast<uint8_t>(i + 1), static_cast<uint8_t>((i + 1) >> 8)});
  }
  resources->push_back(group);
}
