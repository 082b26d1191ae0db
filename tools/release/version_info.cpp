#include "tools/release/version_info.h"

#include "platform/version_resource.h"
#include "tools/release/pe_image.h"
#include "tools/release/tag_text.h"

namespace {

std::vector<uint16_t> Units(const std::string& ascii) { return std::vector<uint16_t>(ascii.begin(), ascii.end()); }

// One block: wLength, wValueLength, wType, the key and its terminator,
// padding to 4 bytes, the value, then the children each on a 4-byte
// boundary. wLength runs to the end of the value or of the last child.
struct Node {
  std::vector<uint16_t> key;
  std::vector<uint8_t> value;
  uint16_t valuelength = 0;  // units for text, bytes for binary
  bool text = false;
  std::vector<Node> children;
};

void Pad4(std::vector<uint8_t>* out) {
  while (out->size() % 4 != 0) out->push_back(0);
}

bool Emit(const Node& node, std::vector<uint8_t>* out) {
  size_t start = out->size();
  out->resize(start + 6);
  PutLe16(out->data() + start + 2, node.valuelength);
  PutLe16(out->data() + start + 4, node.text ? 1 : 0);
  for (uint16_t unit : node.key) out->insert(out->end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
  out->insert(out->end(), {0, 0});
  Pad4(out);
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    Pad4(out);
    if (!Emit(child, out)) return false;
  }
  size_t length = out->size() - start;
  if (length > 0xFFFF) return false;
  PutLe16(out->data() + start, static_cast<uint16_t>(length));
  return true;
}

VersionValue Query(const uint8_t* block, size_t size, const std::string& path, bool* found) {
  std::vector<uint16_t> units = Units(path);
  VersionValue value = {};
  *found = FindVersionValue(block, size, reinterpret_cast<const WCHAR*>(units.data()), units.size(), &value);
  return value;
}

}  // namespace

bool ReadVersionInfo(const uint8_t* block, size_t size, VersionInfo* info) {
  *info = VersionInfo();
  bool found = false;
  VersionValue fixed = Query(block, size, "", &found);
  if (!found || fixed.length < 52 || GetLe32(block + fixed.offset) != 0xFEEF04BDu) return false;
  for (int i = 0; i < 11; ++i) info->fixed[i] = GetLe32(block + fixed.offset + 8 + 4 * i);
  // The string table's children, walked as the block lays them out.
  VersionValue table = Query(block, size, "\\StringFileInfo\\000004b0", &found);
  if (!found) return true;
  // The table's own node: its value is empty, so its children start at the
  // value's offset; its length is read from 6 + 18 bytes (key "000004b0")
  // before it.
  if (table.offset < 24 || GetLe16(block + table.offset - 24 + 6) != '0') return true;
  size_t node = table.offset - 24;
  size_t end = node + GetLe16(block + node);
  if (end > size) end = size;
  size_t child = (table.offset + 3) & ~static_cast<size_t>(3);
  while (child + 6 <= end) {
    size_t length = GetLe16(block + child);
    if (length < 6 || length > end - child) break;
    size_t units = GetLe16(block + child + 2);
    std::vector<uint16_t> key;
    size_t at = child + 6;
    while (at + 2 <= child + length && GetLe16(block + at) != 0) {
      key.push_back(GetLe16(block + at));
      at += 2;
    }
    at = (at + 2 + 3) & ~static_cast<size_t>(3);
    std::vector<uint16_t> value;
    for (size_t i = 0; i < units && at + 2 * i + 2 <= child + length; ++i) {
      uint16_t unit = GetLe16(block + at + 2 * i);
      if (unit == 0) break;
      value.push_back(unit);
    }
    info->strings.push_back({Utf8FromUtf16(key.data(), key.size()), Utf8FromUtf16(value.data(), value.size())});
    child = (child + length + 3) & ~static_cast<size_t>(3);
  }
  return true;
}

std::string VersionString(const VersionInfo& info, const std::string& key, bool* found) {
  for (const auto& entry : info.strings) {
    if (entry.first == key) {
      if (found != nullptr) *found = true;
      return entry.second;
    }
  }
  if (found != nullptr) *found = false;
  return "";
}

void SetVersionString(VersionInfo* info, const std::string& key, const std::string& value) {
  for (auto& entry : info->strings) {
    if (entry.first == key) {
      entry.second = value;
      return;
    }
  }
  info->strings.push_back({key, value});
}

LoaderPathChoice ParseLoaderPathChoice(const std::string& text) {
  if (text == "last") return LoaderPathChoiceLast;
  if (text == "environment") return LoaderPathChoiceEnvironment;
  return LoaderPathChoiceUnknown;
}

// `value` is `word` (lower case), letter case aside, as the loader compares.
static bool IsWordInAnyCase(const std::string& value, const char* word) {
  size_t i = 0;
  for (; i < value.size() && word[i] != '\0'; ++i) {
    char c = value[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return i == value.size() && word[i] == '\0';
}

LoaderPathChoice LoaderPathTaken(const std::string& value) {
  return IsWordInAnyCase(value, "environment") ? LoaderPathChoiceEnvironment : LoaderPathChoiceLast;
}

ErrorsChoice ParseErrorsChoice(const std::string& text) {
  if (text == "box") return ErrorsChoiceBox;
  if (text == "silent") return ErrorsChoiceSilent;
  return ErrorsChoiceUnknown;
}

ErrorsChoice ErrorsTaken(const std::string& value) {
  return IsWordInAnyCase(value, "silent") ? ErrorsChoiceSilent : ErrorsChoiceBox;
}

bool IsLoaderValue(const std::string& key) { return key == "Arguments" || key == "LoaderPath" || key == "Errors"; }

bool ParseVersionNumbers(const std::string& text, uint32_t* ms, uint32_t* ls) {
  uint32_t numbers[4] = {0, 0, 0, 0};
  size_t i = 0;
  int count = 0;
  while (count < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') break;
    uint32_t number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      number = number * 10 + static_cast<uint32_t>(text[i] - '0');
      if (number > 0xFFFF) return false;
      ++i;
    }
    numbers[count++] = number;
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  if (count == 0) return false;
  *ms = (numbers[0] << 16) | numbers[1];
  *ls = (numbers[2] << 16) | numbers[3];
  return true;
}

std::string VersionNumbersText(uint32_t ms, uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) + "." +
         std::to_string(ls & 0xFFFF);
}

std::string BuildVersionInfo(const VersionInfo& info, std::vector<uint8_t>* block) {
  Node root;
  root.key = Units("VS_VERSIONINFO");
  root.valuelength = 52;
  root.value.resize(52);
  PutLe32(root.value.data(), 0xFEEF04BDu);
  PutLe32(root.value.data() + 4, 0x00010000u);
  for (int i = 0; i < 11; ++i) PutLe32(root.value.data() + 8 + 4 * i, info.fixed[i]);

  Node table;
  table.key = Units("000004b0");
  table.text = true;
  for (const auto& entry : info.strings) {
    Node string;
    string.text = true;
    // Keys are text like the values: a key outside ASCII is converted, not
    // widened byte by byte (which grew it on every rewrite).
    if (!Utf16FromUtf8(entry.first, &string.key)) return "the version string key " + entry.first + " is not valid UTF-8";
    std::vector<uint16_t> units;
    if (!Utf16FromUtf8(entry.second, &units)) return "the value of " + entry.first + " is not valid UTF-8";
    if (entry.first == "Arguments") {
      if (units.size() > ARGUMENTS_UNITS)
        return "the Arguments text has " + std::to_string(units.size()) + " UTF-16 units; the stub has room for " +
               std::to_string(ARGUMENTS_UNITS);
      units.resize(ARGUMENTS_UNITS);  // room kept for a later patch in place
    }
    units.push_back(0);
    string.valuelength = static_cast<uint16_t>(units.size());
    for (uint16_t unit : units) string.value.insert(string.value.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    table.children.push_back(string);
  }
  Node strings;
  strings.key = Units("StringFileInfo");
  strings.text = true;
  strings.children.push_back(table);
  Node translation;
  translation.key = Units("Translation");
  translation.valuelength = 4;
  translation.value = {0x00, 0x00, 0xB0, 0x04};  // language 0x0000, code page 0x04B0
  Node variables;
  variables.key = Units("VarFileInfo");
  variables.text = true;
  variables.children.push_back(translation);
  root.children.push_back(strings);
  root.children.push_back(variables);
  block->clear();
  if (!Emit(root, block)) return "the version resource would exceed 65,535 bytes";
  return "";
}
