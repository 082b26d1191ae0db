#include "installer/data_folders.h"

#include "platform/heap.h"

namespace {

// One folder: its parent (0 for the target), where its component lies
// (inside an entry's name) and the next folder of its hash bucket.
struct Folder {
  uint32_t parent;
  uint32_t length;   // bytes of the name up to the end of this component
  const char* name;  // the entry's name that first reached this folder
  uint32_t start;    // where the component begins in `name`
  uint32_t next;     // 0: last of its bucket
};

uint32_t Hash(uint32_t parent, const char* bytes, uint32_t length) {
  uint32_t hash = 2166136261u ^ parent;
  for (uint32_t i = 0; i < length; ++i) hash = (hash ^ static_cast<uint8_t>(bytes[i])) * 16777619u;
  return hash;
}

}  // namespace

struct DataFolders {
  Folder* folders;   // folders[0] stands for the target
  uint32_t used;
  uint32_t capacity;
  uint32_t* buckets; // folder numbers, 0 for none
  uint32_t mask;
};

DataFolders* CreateDataFolders(uint32_t capacity) {
  DataFolders* folders = static_cast<DataFolders*>(AllocZeroed(sizeof(DataFolders)));
  if (folders == nullptr) return nullptr;
  uint32_t buckets = 16;
  while (buckets < 2 * (capacity + 1) && buckets < (1u << 30)) buckets *= 2;
  folders->capacity = capacity + 1;
  folders->folders = static_cast<Folder*>(AllocZeroed(folders->capacity * static_cast<uint32_t>(sizeof(Folder))));
  folders->buckets = static_cast<uint32_t*>(AllocZeroed(buckets * static_cast<uint32_t>(sizeof(uint32_t))));
  folders->mask = buckets - 1;
  folders->used = 1;
  if (folders->folders == nullptr || folders->buckets == nullptr) {
    DestroyDataFolders(folders);
    return nullptr;
  }
  return folders;
}

void DestroyDataFolders(DataFolders* folders) {
  if (folders == nullptr) return;
  FreeBlock(folders->folders);
  FreeBlock(folders->buckets);
  FreeBlock(folders);
}

uint32_t MakeDataFolders(DataFolders* folders, Journal* journal, const PxqPathChar* target, const char* name,
                         uint32_t length, bool whole, PxqPathChar** failed) {
  *failed = nullptr;
  uint32_t parent = 0;
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i < length && name[i] != '/') continue;
    if (i == length && !whole) break;
    const char* component = name + start;
    uint32_t size = i - start;
    uint32_t hash = Hash(parent, component, size) & folders->mask;
    uint32_t found = folders->buckets[hash];
    for (; found != 0; found = folders->folders[found].next) {
      const Folder& folder = folders->folders[found];
      if (folder.parent != parent || folder.length - folder.start != size) continue;
      uint32_t k = 0;
      while (k < size && folder.name[folder.start + k] == component[k]) ++k;
      if (k == size) break;
    }
    if (found == 0) {
      if (folders->used == folders->capacity) return 8;  // ERROR_NOT_ENOUGH_MEMORY: more folders than counted
      PxqPathChar* path = LayerJoin(target, name, i);
      if (path == nullptr) return 8;
      bool made = false;
      uint32_t code = LayerMakeDirectory(path, false, &made);
      if (code == 0 && made && journal != nullptr && JournalAdd(journal, JournalMadeFolder, path, nullptr) != 0) {
        LayerRemoveFolder(path);
        code = 8;  // ERROR_NOT_ENOUGH_MEMORY
      }
      if (code != 0) {
        *failed = path;
        return code;
      }
      FreeBlock(path);
      found = folders->used++;
      Folder& folder = folders->folders[found];
      folder.parent = parent;
      folder.length = i;
      folder.name = name;
      folder.start = start;
      folder.next = folders->buckets[hash];
      folders->buckets[hash] = found;
    }
    parent = found;
    start = i + 1;
  }
  return 0;
}
