// fnmatch() for the Windows build (tools/host/win/include/fnmatch.h).
#include "tools/host/win/include/fnmatch.h"

namespace {

// Matches the bracket expression at *pattern (just past '[') against c;
// moves *pattern past its ']'. False with *pattern unchanged when the
// bracket is not closed (then '[' is an ordinary character).
bool Bracket(const char** pattern, unsigned char c, int flags, bool* matched) {
  const char* p = *pattern;
  bool negated = *p == '!' || *p == '^';
  if (negated) ++p;
  bool found = false, first = true;
  while (*p != '\0' && (*p != ']' || first)) {
    first = false;
    unsigned char low = static_cast<unsigned char>(*p);
    if (low == '\\' && !(flags & FNM_NOESCAPE) && p[1] != '\0') low = static_cast<unsigned char>(*++p);
    ++p;
    unsigned char high = low;
    if (*p == '-' && p[1] != ']' && p[1] != '\0') {
      high = static_cast<unsigned char>(p[1]);
      if (high == '\\' && !(flags & FNM_NOESCAPE) && p[2] != '\0') {
        ++p;
        high = static_cast<unsigned char>(p[1]);
      }
      p += 2;
    }
    if (c >= low && c <= high) found = true;
  }
  if (*p != ']') return false;
  *pattern = p + 1;
  *matched = found != negated;
  return true;
}

bool Match(const char* p, const char* n, int flags) {
  for (;;) {
    char c = *p++;
    switch (c) {
      case '\0':
        return *n == '\0';
      case '?':
        if (*n == '\0' || ((flags & FNM_PATHNAME) && *n == '/')) return false;
        ++n;
        break;
      case '*': {
        while (*p == '*') ++p;
        for (const char* rest = n;; ++rest) {
          if (Match(p, rest, flags)) return true;
          if (*rest == '\0' || ((flags & FNM_PATHNAME) && *rest == '/')) return false;
        }
      }
      case '[': {
        if (*n == '\0' || ((flags & FNM_PATHNAME) && *n == '/')) return false;
        bool matched = false;
        if (Bracket(&p, static_cast<unsigned char>(*n), flags, &matched)) {
          if (!matched) return false;
          ++n;
          break;
        }
        if (*n != '[') return false;
        ++n;
        break;
      }
      case '\\':
        if (!(flags & FNM_NOESCAPE) && *p != '\0') c = *p++;
        [[fallthrough]];
      default:
        if (*n != c) return false;
        ++n;
        break;
    }
  }
}

}  // namespace

extern "C" int fnmatch(const char* pattern, const char* name, int flags) {
  return Match(pattern, name, flags) ? 0 : FNM_NOMATCH;
}
