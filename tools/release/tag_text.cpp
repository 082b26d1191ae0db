#include "tools/release/tag_text.h"

#include <stdio.h>

static uint16_t GetUnit(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool Utf16FromUtf8(const std::string& text, std::vector<uint16_t>* units) {
  units->clear();
  size_t i = 0;
  while (i < text.size()) {
    uint32_t c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t minimum;
    if (c < 0x80) {
      extra = 0, minimum = 0;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, minimum = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, minimum = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, minimum = 0x10000, c &= 0x07;
    } else {
      return false;
    }
    if (text.size() - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      uint32_t next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if (c < minimum || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      units->push_back(static_cast<uint16_t>(0xD800 | (c >> 10)));
      units->push_back(static_cast<uint16_t>(0xDC00 | (c & 0x3FF)));
    } else {
      units->push_back(static_cast<uint16_t>(c));
    }
    i += extra + 1;
  }
  return true;
}

std::string Utf8FromUtf16(const uint16_t* units, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      text += static_cast<char>(0xE0 | (c >> 12));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (c >> 18));
      text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

const char* TagFormName(uint32_t form) {
  switch (form) {
    case TagPlain:
      return "ansi";
    case TagUtf8:
      return "utf8";
    case TagUtf16:
      return "utf16";
    default:
      return "none";
  }
}

std::string EncodeTag(const std::string& text, uint32_t form, std::vector<uint8_t>* bytes) {
  bytes->clear();
  // The loader takes the nearest opening marker in front of the closing one,
  // so a text holding "<|" would reach the installer cut.
  const char* cut = "the text holds \"<|\", where the loader would begin the tag; it would reach the installer cut";
  if (form == TagPlain || form == TagUtf8) {
    if (text.find("<|") != std::string::npos) return cut;
    if (form == TagUtf8) {
      std::vector<uint16_t> units;
      if (!Utf16FromUtf8(text, &units)) return "the text is not valid UTF-8";
      bytes->insert(bytes->end(), {0xEF, 0xBB, 0xBF});
    }
    bytes->insert(bytes->end(), {'<', '|'});
    bytes->insert(bytes->end(), text.begin(), text.end());
    bytes->insert(bytes->end(), {'|', '>'});
  } else if (form == TagUtf16) {
    std::vector<uint16_t> units;
    if (!Utf16FromUtf8(text, &units)) return "the text is not valid UTF-8";
    for (size_t i = 0; i + 1 < units.size(); ++i) {
      if (units[i] == '<' && units[i + 1] == '|') return cut;
    }
    units.insert(units.begin(), {'<', '|'});
    units.insert(units.end(), {'|', '>'});
    for (uint16_t unit : units) bytes->insert(bytes->end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
  } else {
    return "unknown tag form";
  }
  if (bytes->size() > TAG_MAX_BYTES) {
    return "the tag takes " + std::to_string(bytes->size()) + " bytes; the loader finds a tag of at most " +
           std::to_string(TAG_MAX_BYTES) + " bytes";
  }
  return "";
}

FoundTag FindTag(const uint8_t* window, size_t size) {
  FoundTag found;
  if (size > 0xFFFFFFFFu) {
    window += size - 0xFFFFFFFFu;
    size = 0xFFFFFFFFu;
  }
  TagSearch search = SearchTrailingTag(window, static_cast<uint32_t>(size));
  found.form = search.form;
  if (search.form == TagPlain || search.form == TagUtf8) {
    found.text.assign(reinterpret_cast<const char*>(window + search.start), search.length);
    // ANSI bytes that are not UTF-8 are shown as escapes, not sent raw to
    // a terminal.
    std::vector<uint16_t> units;
    if (!Utf16FromUtf8(found.text, &units)) {
      std::string escaped;
      for (unsigned char c : found.text) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        escaped += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(hex);
      }
      found.text = escaped;
    }
    found.begin = search.start - (search.form == TagUtf8 ? 5 : 2);
  } else if (search.form == TagUtf16) {
    std::vector<uint16_t> units(search.length);
    for (uint32_t i = 0; i < search.length; ++i) units[i] = GetUnit(window + search.start + 2 * i);
    found.text = Utf8FromUtf16(units.data(), units.size());
    found.begin = search.start - 4;
  }
  return found;
}
