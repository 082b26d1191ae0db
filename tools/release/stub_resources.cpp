#include "tools/release/stub_resources.h"

#include <string.h>

#include <algorithm>

#include "platform/version_resource.h"
#include "tools/release/pe_image.h"
#include "tools/release/icons.h"
#include "tools/release/manifest.h"
#include "tools/release/resource_tree.h"

// Every pxq stub reports a bad stamp with this text; a file that holds it
// carries the loader's code.
static const char kLoaderMarker[] = "Executable has no valid MZ/pwr5 signature";

namespace {

// The resource section and its place, when it is the stub's own and last.
struct ResourceSection {
  PeImage image;
  size_t index = 0;
  std::string fault;
};

ResourceSection FindResourceSection(const uint8_t* bytes, size_t size) {
  ResourceSection found;
  found.fault = ReadPeImage(bytes, size, &found.image);
  if (!found.fault.empty()) return found;
  const PeImage& image = found.image;
  if (image.directories.size() <= PE_DIRECTORY_RESOURCE || image.directories[PE_DIRECTORY_RESOURCE].size == 0) {
    found.fault = "it has no resource section";
    return found;
  }
  uint32_t rva = image.directories[PE_DIRECTORY_RESOURCE].address;
  size_t count = image.sections.size();
  size_t index = count;
  // The first section that begins there wins, as everywhere else.
  for (size_t i = 0; i < count && index == count; ++i) {
    if (image.sections[i].virtualaddress == rva) index = i;
  }
  if (index == count) {
    found.fault = "its resources do not begin a section of their own";
    return found;
  }
  const PeSection& section = image.sections[index];
  bool last = index + 1 == count;
  for (const PeSection& other : image.sections) {
    if (&other == &section) continue;
    if (other.virtualaddress >= section.virtualaddress) last = false;
    if (other.rawsize != 0 && other.rawoffset >= section.rawoffset) last = false;
  }
  if (!last) {
    found.fault = "its resource section (" + section.name + ") is not its last section";
    return found;
  }
  // A section that reaches into the resources, in the image or in the file,
  // would see them rewritten under it, and readers might take its bytes
  // for them.
  for (const PeSection& other : image.sections) {
    if (&other == &section) continue;
    uint64_t virtualend =
        static_cast<uint64_t>(other.virtualaddress) + (other.virtualsize != 0 ? other.virtualsize : other.rawsize);
    uint64_t rawend = static_cast<uint64_t>(other.rawoffset) + other.rawsize;
    if (virtualend > section.virtualaddress || (other.rawsize != 0 && rawend > section.rawoffset)) {
      found.fault = "its section " + other.name + " overlaps its resource section (" + section.name + ")";
      return found;
    }
  }
  for (size_t d = 0; d < image.directories.size(); ++d) {
    const PeDirectory& directory = image.directories[d];
    if (d == PE_DIRECTORY_RESOURCE || d == PE_DIRECTORY_SECURITY || directory.size == 0) continue;
    if (directory.address >= section.virtualaddress) {
      found.fault = "its resource section holds other data too (data directory " + std::to_string(d) + ")";
      return found;
    }
  }
  if (static_cast<uint64_t>(section.rawoffset) + section.rawsize > size) {
    found.fault = "its resource section runs past the end of the file";
    return found;
  }
  found.index = index;
  return found;
}

std::vector<Resource> SectionResources(const uint8_t* bytes, const PeSection& section, std::string* fault) {
  std::vector<Resource> resources;
  size_t size = std::min(section.rawsize, section.virtualsize != 0 ? section.virtualsize : section.rawsize);
  *fault = ReadResources(bytes + section.rawoffset, size, section.virtualaddress, &resources);
  return resources;
}

}  // namespace

StubFacts ReadStubFacts(const std::vector<uint8_t>& bytes) {
  StubFacts facts;
  PeImage image;
  facts.pefault = ReadPeImage(bytes.data(), bytes.size(), &image);
  if (!facts.pefault.empty()) return facts;
  facts.imageend = PeImageEnd(image);
  size_t end = static_cast<size_t>(std::min<uint64_t>(facts.imageend, bytes.size()));
  facts.pxqstub = std::search(bytes.begin(), bytes.begin() + static_cast<long>(end), kLoaderMarker,
                              kLoaderMarker + strlen(kLoaderMarker)) != bytes.begin() + static_cast<long>(end);
  size_t offset = 0, length = 0;
  if (FindVersionBlock(bytes.data(), end, &offset, &length) == 0)
    facts.hasversion = ReadVersionInfo(bytes.data() + offset, length, &facts.version);
  ResourceSection section = FindResourceSection(bytes.data(), end);
  facts.resourcelast = section.fault.empty();
  // The manifest and the icons, from the whole tree wherever it lies: in
  // the first section that begins at the resource directory (a file may
  // name that address in any number of section headers; one walk is all).
  for (const PeSection& candidate : image.sections) {
    if (image.directories.size() <= PE_DIRECTORY_RESOURCE) break;
    if (candidate.virtualaddress != image.directories[PE_DIRECTORY_RESOURCE].address) continue;
    if (static_cast<uint64_t>(candidate.rawoffset) + candidate.rawsize > bytes.size()) break;
    std::string fault;
    std::vector<Resource> resources = SectionResources(bytes.data(), candidate, &fault);
    for (const Resource& resource : resources) {
      if (resource.type.named) continue;
      if (resource.type.id == RT_ICON_TYPE) ++facts.icons;
      if (resource.type.id == RT_MANIFEST_TYPE && !facts.hasmanifest) {
        facts.hasmanifest = true;
        facts.manifestlevel =
            ManifestExecutionLevel(std::string(resource.data.begin(), resource.data.end()));
        if (facts.manifestlevel.empty()) facts.manifestlevel = "(none named)";
      }
    }
    break;
  }
  return facts;
}

std::string ApplyStubResources(const StubResourceOptions& options, std::vector<uint8_t>* stub) {
  ResourceSection found = FindResourceSection(stub->data(), stub->size());
  if (!found.fault.empty()) return found.fault;
  PeImage& image = found.image;
  PeSection section = image.sections[found.index];
  // A signature follows the last section too: named first, as the cause.
  if (image.directories.size() > PE_DIRECTORY_SECURITY && image.directories[PE_DIRECTORY_SECURITY].size != 0)
    return "it is signed; pack an unsigned stub and sign the loader file";
  if (static_cast<uint64_t>(section.rawoffset) + section.rawsize != stub->size())
    return "data follows its last section (is it already a packed loader file?)";
  if (image.filealignment == 0 || image.sectionalignment == 0) return "its alignment fields are zero";
  // The new section is padded to the file alignment: a hostile one would
  // have a small stub write hundreds of MiB. Windows takes powers of two
  // up to 64 KiB.
  if ((image.filealignment & (image.filealignment - 1)) != 0 || image.filealignment > 0x10000)
    return "its file alignment (" + std::to_string(image.filealignment) + ") is not a power of two up to 65,536";
  std::string fault;
  std::vector<Resource> resources = SectionResources(stub->data(), section, &fault);
  if (!fault.empty()) return fault;

  // The version resource: the stub's own values are the defaults.
  VersionInfo version;
  auto existing = std::find_if(resources.begin(), resources.end(), [](const Resource& r) {
    return !r.type.named && r.type.id == RT_VERSION_TYPE;
  });
  Resource versionresource;
  versionresource.type = ResourceId(RT_VERSION_TYPE);
  versionresource.name = ResourceId(1);
  if (existing != resources.end()) {
    versionresource = *existing;
    ReadVersionInfo(existing->data.data(), existing->data.size(), &version);
  }
  // The pxq stub's own version stays readable once the vendor's version
  // strings replace its FileVersion.
  bool keptversion = false;
  VersionString(version, "PxqLoaderVersion", &keptversion);
  if (!keptversion && ReadStubFacts(*stub).pxqstub)
    version.strings.push_back({"PxqLoaderVersion", VersionString(version, "FileVersion")});
  bool found_arguments = false;
  VersionString(version, "Arguments", &found_arguments);
  if (!found_arguments) version.strings.insert(version.strings.begin(), {"Arguments", ""});
  for (const auto& entry : options.strings) SetVersionString(&version, entry.first, entry.second);
  if (options.filenumbers) {
    version.fixed[0] = options.fileversion[0];
    version.fixed[1] = options.fileversion[1];
  }
  if (options.productnumbers) {
    version.fixed[2] = options.productversion[0];
    version.fixed[3] = options.productversion[1];
  }
  fault = BuildVersionInfo(version, &versionresource.data);
  if (!fault.empty()) return fault;
  resources.erase(std::remove_if(resources.begin(), resources.end(),
                                 [&](const Resource& r) {
                                   if (r.type.named) return false;
                                   if (r.type.id == RT_VERSION_TYPE) return true;
                                   if (!options.icon.empty() && (r.type.id == RT_ICON_TYPE || r.type.id == RT_GROUP_ICON_TYPE))
                                     return true;
                                   return options.executionlevel != ExecutionLevelUnchanged && r.type.id == RT_MANIFEST_TYPE;
                                 }),
                  resources.end());
  resources.push_back(versionresource);
  if (!options.icon.empty()) {
    fault = CheckIconFile(options.icon);
    if (!fault.empty()) return fault;
    AddIconResources(options.icon, &resources);
  }
  if (options.executionlevel > ExecutionLevelNone) {
    Resource manifest;
    manifest.type = ResourceId(RT_MANIFEST_TYPE);
    manifest.name = ResourceId(1);  // CREATEPROCESS_MANIFEST_RESOURCE_ID
    std::string text = Manifest(options.executionlevel);
    manifest.data.assign(text.begin(), text.end());
    resources.push_back(manifest);
  }

  std::vector<uint8_t> built = BuildResources(resources, section.virtualaddress);
  uint64_t rawsize = (built.size() + image.filealignment - 1) / image.filealignment * image.filealignment;
  uint64_t imagesize = (static_cast<uint64_t>(section.virtualaddress) + built.size() + image.sectionalignment - 1) /
                       image.sectionalignment * image.sectionalignment;
  if (imagesize > 0xFFFFFFFFu || rawsize > 0x7FFFFFFFu) return "the resources would make the image too large";
  uint8_t* bytes = stub->data();
  // Section header: VirtualSize, SizeOfRawData.
  PutLe32(bytes + section.headeroffset + 8, static_cast<uint32_t>(built.size()));
  PutLe32(bytes + section.headeroffset + 16, static_cast<uint32_t>(rawsize));
  // The resource directory's size, SizeOfImage, and SizeOfInitializedData
  // when the section counts as initialized data.
  PutLe32(bytes + image.directoryoffset + 8 * PE_DIRECTORY_RESOURCE + 4, static_cast<uint32_t>(built.size()));
  PutLe32(bytes + image.optionaloffset + 56, static_cast<uint32_t>(imagesize));
  if (section.characteristics & 0x40u) {
    uint32_t initialized = GetLe32(bytes + image.optionaloffset + 8);
    PutLe32(bytes + image.optionaloffset + 8, initialized - section.rawsize + static_cast<uint32_t>(rawsize));
  }
  stub->resize(section.rawoffset);
  stub->insert(stub->end(), built.begin(), built.end());
  stub->resize(section.rawoffset + rawsize, 0);
  return "";
}
