#include "tools/release/manifest.h"

static const char* const kLevelNames[] = {"none", "asInvoker", "highestAvailable", "requireAdministrator"};

int ParseExecutionLevel(const std::string& text) {
  for (int i = 0; i < 4; ++i) {
    if (text == kLevelNames[i]) return i;
  }
  return -1;
}

const char* ExecutionLevelName(int level) { return level >= 0 && level < 4 ? kLevelNames[level] : "unchanged"; }

std::string ManifestExecutionLevel(const std::string& manifest) {
  size_t element = manifest.find("requestedExecutionLevel");
  if (element == std::string::npos) return "";
  size_t level = manifest.find("level=", element);
  if (level == std::string::npos || level + 7 > manifest.size()) return "";
  char quote = manifest[level + 6];
  size_t end = manifest.find(quote, level + 7);
  if (end == std::string::npos) return "";
  // Only a plain word is shown: a hostile manifest's bytes reach neither a
  // terminal nor a JSON string (which must be UTF-8).
  std::string value = manifest.substr(level + 7, end - level - 7);
  bool plain = !value.empty() && value.size() <= 64;
  for (char c : value) plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
  return plain ? value : "(not a plain word)";
}

std::string Manifest(int level) {
  // Only the trust information: no compatibility section, so that the
  // version Windows reports to the loader stays as without a manifest.
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
             "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
             "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
             "    <security>\r\n"
             "      <requestedPrivileges>\r\n"
             "        <requestedExecutionLevel level=\"") +
         kLevelNames[level] +
         "\" uiAccess=\"false\"/>\r\n"
         "      </requestedPrivileges>\r\n"
         "    </security>\r\n"
         "  </trustInfo>\r\n"
         "</assembly>\r\n";
}
