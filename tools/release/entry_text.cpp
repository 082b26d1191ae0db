#include "tools/release/entry_text.h"

#include <stdio.h>

#include "package/records.h"
#include "platform/filetime.h"

bool ParseEntryId(const char* text, uint64_t* id) {
  if (text == nullptr || *text == '\0') return false;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (*text == '\0') return false;
  uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    char c = *text;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    if (value > (UINT64_MAX - digit) / static_cast<uint64_t>(base)) return false;
    value = value * static_cast<uint64_t>(base) + digit;
  }
  *id = value;
  return true;
}

const char* EntryIdName(uint64_t id) {
  switch (id) {
    case GenericInstallerId:
      return "GenericInstallerId";
    case NtX86InstallerId:
      return "NtX86InstallerId";
    case NtX64InstallerId:
      return "NtX64InstallerId";
    default:
      return "";
  }
}

std::string EntryIdText(uint64_t id) {
  char text[24];
  snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(id));
  return text;
}

std::string AttributeText(uint32_t attributes) {
  static const struct {
    uint32_t bit;
    const char* name;
  } names[] = {
      {0x1, "READONLY"},  {0x2, "HIDDEN"},      {0x4, "SYSTEM"},           {0x10, "DIRECTORY"},
      {0x20, "ARCHIVE"},  {0x40, "DEVICE"},     {0x80, "NORMAL"},          {0x100, "TEMPORARY"},
      {0x200, "SPARSE"},  {0x400, "REPARSE"},   {0x800, "COMPRESSED"},     {0x1000, "OFFLINE"},
      {0x2000, "NOT_CONTENT_INDEXED"},          {0x4000, "ENCRYPTED"},
  };
  std::string text;
  uint32_t rest = attributes;
  for (const auto& entry : names) {
    if ((attributes & entry.bit) == 0) continue;
    if (!text.empty()) text += "|";
    text += entry.name;
    rest &= ~entry.bit;
  }
  char number[32];
  if (rest != 0) {
    snprintf(number, sizeof number, "0x%X", rest);
    if (!text.empty()) text += "|";
    text += number;
  }
  if (text.empty()) text = "none";
  snprintf(number, sizeof number, " (0x%X)", attributes);
  return text + number;
}

std::string FileTimeText(uint64_t filetime) {
  char text[48];
  if (FormatFileTime(filetime, text, sizeof text) == 0) return "?";
  return text;
}

std::string PlatformFlagsText(uint32_t flags) {
  std::string text;
  if (flags & PLATFORM_FLAG_GENERIC) text += "generic";
  if (flags & PLATFORM_FLAG_NT_X86) text += text.empty() ? "nt-x86" : ", nt-x86";
  if (flags & PLATFORM_FLAG_NT_X64) text += text.empty() ? "nt-x64" : ", nt-x64";
  return text.empty() ? "none" : text;
}
