#include "tools/writer/data_inputs.h"

#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <string.h>

#include <algorithm>

#include "package/data_archive.h"
#include "package/data_names.h"

namespace {

std::string Why(int error) { return strerror(error); }

struct Collector {
  const DataItemStamper* stamp;
  const std::vector<std::string>* excludes;
  std::vector<DataArchiveItem>* items;
  std::vector<std::string> sources;  // the path each item came from
  uint64_t* bytes;

  bool Excluded(const std::string& name, bool directory) const {
    for (const std::string& glob : *excludes) {
      if (DataNameExcluded(glob, name, directory)) return true;
    }
    return false;
  }

  std::string Add(const std::string& path, const std::string& name, const struct stat& info) {
    DataNameFault fault = CheckDataName(name.data(), static_cast<uint32_t>(name.size()));
    if (fault != DataNameSafe)
      return path + ": the name \"" + name + "\" " + DataNameFaultText(fault) + "; rename it";
    DataArchiveItem item;
    item.name = name;
    item.directory = S_ISDIR(info.st_mode);
    if (!item.directory) item.path = path;
    (*stamp)(info, &item);
    items->push_back(std::move(item));
    sources.push_back(path);
    if (!S_ISDIR(info.st_mode)) *bytes += static_cast<uint64_t>(info.st_size);
    return "";
  }

  std::string Walk(const std::string& directory, const std::string& prefix) {
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) return directory + ": " + Why(errno);
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* found = readdir(stream)) {
      std::string name = found->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    int error = errno;
    closedir(stream);
    if (error != 0) return directory + ": " + Why(error);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string path = directory + "/" + name;
      std::string fault = Visit(path, prefix + name);
      if (!fault.empty()) return fault;
    }
    return "";
  }

  std::string Visit(const std::string& path, const std::string& name) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return path + ": " + Why(errno);
    if (Excluded(name, S_ISDIR(info.st_mode))) return "";
    if (S_ISLNK(info.st_mode))
      return path + ": is a symbolic link; the data archive holds files and directories only (copy the file in)";
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
      return path + ": is not a regular file or directory (a device, FIFO or socket)";
    std::string fault = Add(path, name, info);
    if (fault.empty() && S_ISDIR(info.st_mode)) fault = Walk(path, name + "/");
    return fault;
  }

  // Two items of one name on Windows, or an item below a file's name.
  std::string Clash() const {
    std::vector<DataItem> plain(items->size());
    for (size_t i = 0; i < items->size(); ++i) {
      const DataArchiveItem& item = (*items)[i];
      plain[i].name = item.name.data();
      plain[i].namelength = static_cast<uint32_t>(item.name.size());
      plain[i].attributes = item.directory ? FILE_ATTRIBUTE_DIRECTORY : item.attributes;
    }
    std::vector<uint32_t> other(plain.size());
    if (plain.empty() || FindDataNameClashes(plain.data(), static_cast<uint32_t>(plain.size()), other.data()) != 0)
      return "";
    for (size_t i = 0; i < plain.size(); ++i) {
      if (other[i] == 0) continue;
      size_t first = std::min<size_t>(i, other[i] - 1);
      size_t second = std::max<size_t>(i, other[i] - 1);
      const std::string& a = (*items)[first].name;
      const std::string& b = (*items)[second].name;
      switch (DataClashKind(&plain[first], &plain[second])) {
        case DataClashSame:
          return sources[second] + ": gives the name \"" + b + "\", which " + sources[first] + " gives already";
        case DataClashCase:
          return sources[second] + ": gives the name \"" + b + "\", which " + sources[first] + " gives already as \"" + a +
                 "\" (Windows does not tell letter case apart)";
        default: {
          // The file is whichever of the two is not below the other.
          bool firstisfile = b.size() > a.size();
          const std::string& file = firstisfile ? a : b;
          const std::string& below = firstisfile ? b : a;
          return sources[firstisfile ? second : first] + ": gives the name \"" + below + "\", below \"" + file +
                 "\", which " + sources[firstisfile ? first : second] +
                 " gives as a file (a name cannot be a file and a folder)";
        }
      }
    }
    return "";
  }
};

// DEST without its trailing '/' and without a leading "./".
std::string Folder(std::string destination) {
  while (!destination.empty() && destination.back() == '/') destination.pop_back();
  while (destination.compare(0, 2, "./") == 0) destination.erase(0, 2);
  return destination == "." ? "" : destination;
}

}  // namespace

DataInput SplitDataInput(const std::string& value) {
  DataInput input;
  input.source = value;
  size_t equals = value.find('=');
  struct stat info;
  if (equals == std::string::npos || lstat(value.c_str(), &info) == 0) return input;
  input.source = value.substr(0, equals);
  input.destination = value.substr(equals + 1);
  input.placed = true;
  return input;
}

bool DataNameExcluded(const std::string& glob, const std::string& name, bool directory) {
  std::string pattern = glob;
  if (!pattern.empty() && pattern.back() == '/') {
    if (!directory) return false;
    while (!pattern.empty() && pattern.back() == '/') pattern.pop_back();
  }
  if (pattern.empty()) return false;
  if (pattern.find('/') != std::string::npos) return fnmatch(pattern.c_str(), name.c_str(), FNM_PATHNAME) == 0;
  size_t slash = name.rfind('/');
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return fnmatch(pattern.c_str(), base.c_str(), 0) == 0;
}

std::string CollectDataItems(const std::vector<DataInput>& inputs, const std::vector<std::string>& excludes,
                             const DataItemStamper& stamp, std::vector<DataArchiveItem>* items, uint64_t* bytes) {
  Collector collector{&stamp, &excludes, items, {}, bytes};
  for (const DataInput& input : inputs) {
    const std::string& given = input.source;
    struct stat info;
    if (stat(given.c_str(), &info) != 0) return given + ": " + Why(errno);
    std::string folder = Folder(input.destination);
    if (S_ISDIR(info.st_mode)) {
      // The directory's contents, named from it (or from DEST); paths in
      // messages without a doubled '/'.
      std::string directory = given;
      while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
      std::string fault = collector.Walk(directory, folder.empty() ? "" : folder + "/");
      if (!fault.empty()) return fault;
      continue;
    }
    if (!S_ISREG(info.st_mode)) return given + ": is not a regular file or directory (a device, FIFO or socket)";
    std::string base = given;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    // DEST names the file, or with a trailing '/' the folder it goes into.
    std::string name = base;
    if (input.placed && !input.destination.empty() && input.destination.back() != '/') {
      name = folder;
    } else if (!folder.empty()) {
      name = folder + "/" + base;
    }
    if (collector.Excluded(name, false)) continue;
    std::string fault = collector.Add(given, name, info);
    if (!fault.empty()) return fault;
  }
  return collector.Clash();
}
