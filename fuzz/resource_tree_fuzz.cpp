// The resource tree reader and its layout: the input is a resource section
// (its first four bytes, little-endian, the section's RVA). Whatever the
// bytes, reading stays within the section's bounds. When it reads, laying
// the resources out and reading them again gives the same resources, as
// the layout keeps them (one per type, name and language: the last one
// given; names compared without regard to ASCII case), and laying those
// out again gives the same bytes.
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/release/resource_tree.h"

namespace {

// The order the layout keeps, written here on its own: named keys first,
// by their names with ASCII letters in upper case, then numbers ascending.
struct KeyOrder {
  bool operator()(const ResourceKey& a, const ResourceKey& b) const {
    if (a.named != b.named) return a.named;
    if (!a.named) return a.id < b.id;
    const std::vector<uint16_t>& x = ResourceKeyName(a);
    const std::vector<uint16_t>& y = ResourceKeyName(b);
    for (size_t i = 0; i < x.size() && i < y.size(); ++i) {
      uint16_t p = x[i] >= 'a' && x[i] <= 'z' ? x[i] - 32 : x[i];
      uint16_t q = y[i] >= 'a' && y[i] <= 'z' ? y[i] - 32 : y[i];
      if (p != q) return p < q;
    }
    return x.size() < y.size();
  }
};

bool SameKey(const ResourceKey& a, const ResourceKey& b) {
  return a.named == b.named && (a.named ? ResourceKeyName(a) == ResourceKeyName(b) : a.id == b.id);
}

bool SameResource(const Resource& a, const Resource& b) {
  return SameKey(a.type, b.type) && SameKey(a.name, b.name) && a.language == b.language &&
         a.codepage == b.codepage && a.data == b.data;
}

// What the layout keeps of `resources`, in its order: the key of the first
// resource at each level, the content of the last.
std::vector<Resource> Kept(const std::vector<Resource>& resources) {
  std::map<ResourceKey, std::map<ResourceKey, std::map<uint16_t, const Resource*>, KeyOrder>, KeyOrder> tree;
  for (const Resource& resource : resources) tree[resource.type][resource.name][resource.language] = &resource;
  std::vector<Resource> kept;
  for (const auto& type : tree)
    for (const auto& name : type.second)
      for (const auto& language : name.second) {
        Resource resource = *language.second;
        resource.type = type.first;
        resource.name = name.first;
        kept.push_back(resource);
      }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t rva = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                 static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  // The section as its own allocation, so that a read past it is caught.
  std::vector<uint8_t> section(data + 4, data + size);
  std::vector<Resource> resources;
  if (!ReadResources(section.data(), section.size(), rva, &resources).empty()) return 0;
  size_t copied = 0;
  for (const Resource& resource : resources) copied += resource.data.size();
  FuzzCheck(copied <= section.size(), "the data copied out exceeds the section");
  // The layout's offsets are 31-bit; an RVA near the top would wrap.
  if (rva > 0x7FFF0000u) return 0;

  std::vector<uint8_t> laid = BuildResources(resources, rva);
  std::vector<Resource> again;
  std::string fault = ReadResources(laid.data(), laid.size(), rva, &again);
  if (!fault.empty()) FuzzFail("the laid-out tree does not read: " + fault);
  std::vector<Resource> kept = Kept(resources);
  FuzzCheck(again.size() == kept.size(), "the laid-out tree holds another number of resources");
  for (size_t i = 0; i < kept.size(); ++i) FuzzCheck(SameResource(again[i], kept[i]), "a resource changed");
  FuzzCheck(BuildResources(again, rva) == laid, "a second layout differs from the first");
  return 0;
}
