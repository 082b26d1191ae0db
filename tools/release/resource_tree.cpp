#include "tools/release/resource_tree.h"

#include <algorithm>
#include <map>
#include <utility>

#include "tools/release/pe_image.h"

namespace {

struct Reader {
  const uint8_t* section;
  size_t size;
  uint32_t rva;
  std::vector<Resource>* resources;
  std::vector<bool> visited;  // by offset: the directories already read
  size_t databytes = 0;       // data copied out of the section so far
  size_t namebytes = 0;       // name bytes read so far
};

// Counts `bytes` of names read against their budget, the section's size:
// in a sound tree each entry that is named has its own string.
std::string ChargeNames(Reader* reader, size_t bytes) {
  if (reader->size - reader->namebytes < bytes)
    return "the resources' names add up to more than their section (entries share long names)";
  reader->namebytes += bytes;
  return "";
}

std::string ReadKey(Reader* reader, uint32_t field, ResourceKey* key) {
  *key = ResourceKey();
  if ((field & 0x80000000u) == 0) {
    key->id = static_cast<uint16_t>(field);
    return "";
  }
  size_t offset = field & 0x7FFFFFFFu;
  if (offset > reader->size || reader->size - offset < 2) return "a resource name lies outside the section";
  size_t length = GetLe16(reader->section + offset);
  if ((reader->size - offset - 2) / 2 < length) return "a resource name runs past the section";
  std::string fault = ChargeNames(reader, 2 * length);
  if (!fault.empty()) return fault;
  std::vector<uint16_t> name(length);
  for (size_t i = 0; i < length; ++i) name[i] = GetLe16(reader->section + offset + 2 + 2 * i);
  key->named = true;
  key->name = std::make_shared<const std::vector<uint16_t>>(std::move(name));
  return "";
}

// Reads the directory at `offset`, at `level` 0 (types), 1 (names) or 2
// (languages), under the type and name that `current` holds.
std::string ReadDirectory(Reader* reader, size_t offset, int level, Resource* current) {
  if (offset > reader->size || reader->size - offset < 16) return "a resource directory lies outside the section";
  size_t count = static_cast<size_t>(GetLe16(reader->section + offset + 12)) + GetLe16(reader->section + offset + 14);
  if ((reader->size - offset - 16) / 8 < count) return "a resource directory's entries run past the section";
  // A tree whose directories share subdirectories would be walked, and its
  // data copied, once per path to them: each directory is read only once.
  if (reader->visited[offset]) return "a resource directory is reached twice (directories share subdirectories)";
  reader->visited[offset] = true;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = reader->section + offset + 16 + 8 * i;
    uint32_t name = GetLe32(entry), target = GetLe32(entry + 4);
    ResourceKey key;
    std::string fault = ReadKey(reader, name, &key);
    if (!fault.empty()) return fault;
    bool subdirectory = (target & 0x80000000u) != 0;
    if (level < 2) {
      (level == 0 ? current->type : current->name) = std::move(key);
      if (!subdirectory) return "a resource directory ends too early";
      fault = ReadDirectory(reader, target & 0x7FFFFFFFu, level + 1, current);
      if (!fault.empty()) return fault;
      continue;
    }
    if (subdirectory) return "the resource tree is deeper than type, name and language";
    if (target > reader->size || reader->size - target < 16) return "a resource data entry lies outside the section";
    uint32_t datarva = GetLe32(reader->section + target);
    uint32_t datasize = GetLe32(reader->section + target + 4);
    if (datarva < reader->rva || datarva - reader->rva > reader->size ||
        reader->size - (datarva - reader->rva) < datasize)
      return "a resource's data lies outside the resource section";
    // Entries may share a data entry: the data copied is held to the
    // section's size.
    if (reader->size - reader->databytes < datasize)
      return "the resources' data adds up to more than their section (entries share data)";
    reader->databytes += datasize;
    Resource resource;
    resource.type = current->type;
    resource.name = current->name;
    resource.language = key.id;
    resource.codepage = GetLe32(reader->section + target + 8);
    const uint8_t* data = reader->section + (datarva - reader->rva);
    resource.data.assign(data, data + datasize);
    reader->resources->push_back(std::move(resource));
  }
  return "";
}

bool KeyLess(const ResourceKey& a, const ResourceKey& b) {
  if (a.named != b.named) return a.named;  // named entries come first
  if (!a.named) return a.id < b.id;
  // Windows compares names without regard to case; ASCII upper case will do.
  auto upper = [](uint16_t c) { return static_cast<uint16_t>(c >= 'a' && c <= 'z' ? c - 32 : c); };
  const std::vector<uint16_t>& x = ResourceKeyName(a);
  const std::vector<uint16_t>& y = ResourceKeyName(b);
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                      [&](uint16_t x, uint16_t y) { return upper(x) < upper(y); });
}

struct KeyOrder {
  bool operator()(const ResourceKey& a, const ResourceKey& b) const { return KeyLess(a, b); }
};

size_t Align(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace

const std::vector<uint16_t>& ResourceKeyName(const ResourceKey& key) {
  static const std::vector<uint16_t> none;
  return key.name != nullptr ? *key.name : none;
}

std::string ReadResources(const uint8_t* section, size_t size, uint32_t rva, std::vector<Resource>* resources) {
  resources->clear();
  Reader reader{section, size, rva, resources, std::vector<bool>(size)};
  Resource current;
  return ReadDirectory(&reader, 0, 0, &current);
}

const Resource* FindResource(const std::vector<Resource>& resources, uint16_t type) {
  for (const Resource& resource : resources) {
    if (!resource.type.named && resource.type.id == type) return &resource;
  }
  return nullptr;
}

std::vector<uint8_t> BuildResources(const std::vector<Resource>& resources, uint32_t rva) {
  // type -> name -> language -> index of the resource
  std::map<ResourceKey, std::map<ResourceKey, std::map<uint16_t, size_t>, KeyOrder>, KeyOrder> tree;
  for (size_t i = 0; i < resources.size(); ++i)
    tree[resources[i].type][resources[i].name][resources[i].language] = i;

  // First pass: where every piece goes.
  size_t directories = 16 + 8 * tree.size();
  for (const auto& type : tree) {
    directories += 16 + 8 * type.second.size();
    for (const auto& name : type.second) directories += 16 + 8 * name.second.size();
  }
  // Data in tree order, as the entries list it: one entry for each type,
  // name and language (of resources given twice, the last one).
  std::vector<size_t> order;
  for (const auto& type : tree)
    for (const auto& name : type.second)
      for (const auto& language : name.second) order.push_back(language.second);
  size_t dataentries = directories;
  size_t names = dataentries + 16 * order.size();
  std::map<const ResourceKey*, size_t> nameoffsets;
  size_t cursor = names;
  auto placename = [&](const ResourceKey& key) {
    if (!key.named) return;
    nameoffsets[&key] = cursor;
    cursor += 2 + 2 * ResourceKeyName(key).size();
  };
  for (const auto& type : tree) {
    placename(type.first);
    for (const auto& name : type.second) placename(name.first);
  }
  std::vector<size_t> dataoffsets(resources.size());
  cursor = Align(cursor, 8);
  for (size_t index : order) {
    dataoffsets[index] = cursor;
    cursor = Align(cursor + resources[index].data.size(), 8);
  }
  std::vector<uint8_t> out(cursor, 0);

  // Second pass: write it.
  size_t nextdirectory = 0, nextdataentry = dataentries;
  auto writedirectory = [&](size_t offset, size_t namedcount, size_t idcount) {
    PutLe16(out.data() + offset + 12, static_cast<uint16_t>(namedcount));
    PutLe16(out.data() + offset + 14, static_cast<uint16_t>(idcount));
  };
  auto keyfield = [&](const ResourceKey& key) -> uint32_t {
    return key.named ? 0x80000000u | static_cast<uint32_t>(nameoffsets[&key]) : key.id;
  };
  auto countnamed = [](const auto& level) {
    size_t named = 0;
    for (const auto& item : level) named += item.first.named ? 1 : 0;
    return named;
  };
  size_t root = nextdirectory;
  nextdirectory += 16 + 8 * tree.size();
  writedirectory(root, countnamed(tree), tree.size() - countnamed(tree));
  size_t typeindex = 0;
  for (const auto& type : tree) {
    size_t typedirectory = nextdirectory;
    nextdirectory += 16 + 8 * type.second.size();
    PutLe32(out.data() + root + 16 + 8 * typeindex, keyfield(type.first));
    PutLe32(out.data() + root + 16 + 8 * typeindex + 4, 0x80000000u | static_cast<uint32_t>(typedirectory));
    writedirectory(typedirectory, countnamed(type.second), type.second.size() - countnamed(type.second));
    size_t nameindex = 0;
    for (const auto& name : type.second) {
      size_t namedirectory = nextdirectory;
      nextdirectory += 16 + 8 * name.second.size();
      PutLe32(out.data() + typedirectory + 16 + 8 * nameindex, keyfield(name.first));
      PutLe32(out.data() + typedirectory + 16 + 8 * nameindex + 4, 0x80000000u | static_cast<uint32_t>(namedirectory));
      writedirectory(namedirectory, 0, name.second.size());
      size_t languageindex = 0;
      for (const auto& language : name.second) {
        const Resource& resource = resources[language.second];
        size_t entry = nextdataentry;
        nextdataentry += 16;
        PutLe32(out.data() + namedirectory + 16 + 8 * languageindex, language.first);
        PutLe32(out.data() + namedirectory + 16 + 8 * languageindex + 4, static_cast<uint32_t>(entry));
        PutLe32(out.data() + entry, rva + static_cast<uint32_t>(dataoffsets[language.second]));
        PutLe32(out.data() + entry + 4, static_cast<uint32_t>(resource.data.size()));
        PutLe32(out.data() + entry + 8, resource.codepage);
        std::copy(resource.data.begin(), resource.data.end(), out.begin() + static_cast<long>(dataoffsets[language.second]));
        ++languageindex;
      }
      ++nameindex;
    }
    ++typeindex;
  }
  for (const auto& placed : nameoffsets) {
    const std::vector<uint16_t>& name = ResourceKeyName(*placed.first);
    PutLe16(out.data() + placed.second, static_cast<uint16_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) PutLe16(out.data() + placed.second + 2 + 2 * i, name[i]);
  }
  return out;
}
