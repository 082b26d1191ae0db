#include "tools/cli/printable.h"

#include <stdio.h>

std::string Printable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      shown += hex;
    }
  }
  return shown;
}
