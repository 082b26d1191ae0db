#include "tools/writer/data_inputs.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "package/data_archive.h"

namespace {

std::string Why(int error) { return strerror(error); }

// Windows compares names without regard to letter case.
std::string FoldedName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

struct Collector {
  const DataItemStamper* stamp;
  std::vector<DataArchiveItem>* items;
  uint64_t* bytes;
  std::map<std::string, std::pair<std::string, std::string>> seen;  // folded name -> the path and name that gave it

  std::string Add(const std::string& path, const std::string& name, const struct stat& info) {
    DataNameFault fault = CheckDataName(name.data(), static_cast<uint32_t>(name.size()));
    if (fault != DataNameSafe)
      return path + ": the name \"" + name + "\" " + DataNameFaultText(fault) + "; rename it";
    auto inserted = seen.emplace(FoldedName(name), std::make_pair(path, name));
    if (!inserted.second) {
      const auto& first = inserted.first->second;
      return path + ": gives the name \"" + name + "\", which " + first.first + " gives already" +
             (first.second == name ? "" : " as \"" + first.second + "\" (Windows does not tell letter case apart)");
    }
    DataArchiveItem item;
    item.name = name;
    item.directory = S_ISDIR(info.st_mode);
    if (!item.directory) item.path = path;
    (*stamp)(info, &item);
    items->push_back(std::move(item));
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
    if (S_ISLNK(info.st_mode))
      return path + ": is a symbolic link; the data archive holds files and directories only (copy the file in)";
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
      return path + ": is not a regular file or directory (a device, FIFO or socket)";
    std::string fault = Add(path, name, info);
    if (fault.empty() && S_ISDIR(info.st_mode)) fault = Walk(path, name + "/");
    return fault;
  }
};

}  // namespace

std::string CollectDataItems(const std::vector<std::string>& paths, const DataItemStamper& stamp,
                             std::vector<DataArchiveItem>* items, uint64_t* bytes) {
  Collector collector{&stamp, items, bytes, {}};
  for (const std::string& given : paths) {
    struct stat info;
    if (stat(given.c_str(), &info) != 0) return given + ": " + Why(errno);
    if (S_ISDIR(info.st_mode)) {
      // The directory's contents, named from it.
      std::string fault = collector.Walk(given, "");
      if (!fault.empty()) return fault;
      continue;
    }
    std::string base = given;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    if (!S_ISREG(info.st_mode)) return given + ": is not a regular file or directory (a device, FIFO or socket)";
    std::string fault = collector.Add(given, base, info);
    if (!fault.empty()) return fault;
  }
  return "";
}
