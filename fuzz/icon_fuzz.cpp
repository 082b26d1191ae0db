// pack --icon: the input is an .ico file, packed into a small stub of one
// resource section. An icon that is refused changes nothing. One that is
// taken comes out one for one: as many RT_ICON resources as the directory
// has entries, each exactly the bytes its entry names, together no more
// than the file, and one RT_GROUP_ICON of the directory with each entry's
// offset replaced by its image's number.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/release/pe_image.h"
#include "tools/release/resource_tree.h"
#include "tools/release/stub_resources.h"

namespace {

// A PE32 image of headers (0x200 bytes) and one section, .rsrc, at RVA
// 0x1000 and file offset 0x200: its tree holds one RT_RCDATA resource.
std::vector<uint8_t> Stub() {
  std::vector<uint8_t> image(0x400, 0);
  image[0] = 'M';
  image[1] = 'Z';
  PutLe32(&image[0x3C], 0x40);
  PutLe32(&image[0x40], 0x00004550);
  PutLe16(&image[0x44], 0x14C);
  PutLe16(&image[0x46], 1);
  PutLe16(&image[0x54], 224);
  PutLe16(&image[0x56], 0x0102);
  uint8_t* optional = &image[0x58];
  PutLe16(optional, 0x10B);
  PutLe32(optional + 32, 0x1000);
  PutLe32(optional + 36, 0x200);
  PutLe32(optional + 56, 0x2000);
  PutLe32(optional + 60, 0x200);
  PutLe32(optional + 92, 16);
  Resource data;
  data.type = ResourceId(10);
  data.name = ResourceId(1);
  data.data = {'p', 'x', 'q'};
  std::vector<uint8_t> tree = BuildResources({data}, 0x1000);
  PutLe32(optional + 96 + 16, 0x1000);
  PutLe32(optional + 96 + 20, static_cast<uint32_t>(tree.size()));
  uint8_t* section = &image[0x58 + 224];
  memcpy(section, ".rsrc", 5);
  PutLe32(section + 8, static_cast<uint32_t>(tree.size()));
  PutLe32(section + 12, 0x1000);
  PutLe32(section + 16, 0x200);
  PutLe32(section + 20, 0x200);
  PutLe32(section + 36, 0x40000040);
  std::copy(tree.begin(), tree.end(), image.begin() + 0x200);
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // No bytes is no icon to pack (pack refuses an empty .ico by its check).
  if (size == 0) return 0;
  static const std::vector<uint8_t> stub = Stub();
  StubResourceOptions options;
  options.any = true;
  options.icon.assign(data, data + size);
  std::vector<uint8_t> packed = stub;
  std::string checked = CheckIconFile(options.icon);
  std::string fault = ApplyStubResources(options, &packed);
  FuzzCheck(checked.empty() == fault.empty(), "pack and the icon check disagree");
  if (!fault.empty()) {
    FuzzCheck(packed == stub, "a refused icon changed the stub");
    return 0;
  }

  PeImage image;
  FuzzCheck(ReadPeImage(packed.data(), packed.size(), &image).empty(), "the packed stub's headers do not read");
  const PeSection& section = image.sections[0];
  FuzzCheck(static_cast<uint64_t>(section.rawoffset) + section.rawsize <= packed.size(), "the section runs past");
  std::vector<Resource> resources;
  fault = ReadResources(packed.data() + section.rawoffset, section.virtualsize, section.virtualaddress, &resources);
  if (!fault.empty()) FuzzFail("the packed resources do not read: " + fault);

  size_t count = GetLe16(data + 4);
  std::vector<const Resource*> icons(count + 1, nullptr);
  const Resource* group = nullptr;
  size_t total = 0;
  for (const Resource& resource : resources) {
    if (resource.type.named) continue;
    if (resource.type.id == RT_GROUP_ICON_TYPE) {
      FuzzCheck(group == nullptr, "more than one icon group");
      group = &resource;
    }
    if (resource.type.id != RT_ICON_TYPE) continue;
    FuzzCheck(!resource.name.named && resource.name.id >= 1 && resource.name.id <= count, "an image of no entry");
    FuzzCheck(icons[resource.name.id] == nullptr, "an image twice");
    icons[resource.name.id] = &resource;
    total += resource.data.size();
  }
  FuzzCheck(total <= size, "the images add up to more than the file");
  FuzzCheck(group != nullptr && group->data.size() == 6 + 14 * count, "the icon group is not the directory");
  FuzzCheck(std::equal(data, data + 6, group->data.begin()), "the group's header differs");
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = data + 6 + 16 * i;
    uint32_t bytes = GetLe32(entry + 8), offset = GetLe32(entry + 12);
    FuzzCheck(icons[i + 1] != nullptr, "an entry has no image");
    FuzzCheck(icons[i + 1]->data == std::vector<uint8_t>(data + offset, data + offset + bytes),
              "an image is not the bytes its entry names");
    const uint8_t* member = group->data.data() + 6 + 14 * i;
    FuzzCheck(std::equal(entry, entry + 12, member) && GetLe16(member + 12) == i + 1,
              "the group's entry does not name its image");
  }
  return 0;
}
