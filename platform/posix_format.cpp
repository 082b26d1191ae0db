// The string helpers and the Windows formatter wvsprintfA.
#include <string.h>

#include "platform/posix_internal.h"

int PosixlstrlenA(LPCSTR lpString) {
  if (lpString == NULL) return 0;
  return static_cast<int>(strlen(lpString));
}

LPSTR PosixlstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  if (lpString1 == NULL || lpString2 == NULL) return NULL;
  if (iMaxLength <= 0) return lpString1;
  int index = 0;
  while (index < iMaxLength - 1 && lpString2[index] != '\0') {
    lpString1[index] = lpString2[index];
    ++index;
  }
  lpString1[index] = '\0';
  return lpString1;
}

// wvsprintfA writes at most this many bytes, the terminator included.
static const int formatLimit = 1024;

namespace {

struct Output {
  char* text;
  int length;  // characters stored, without the terminator

  void Put(char c) {
    if (length < formatLimit - 1) text[length++] = c;
  }
  void Repeat(char c, int count) {
    while (count-- > 0) Put(c);
  }
  bool Full() const { return length >= formatLimit - 1; }
};

struct Spec {
  bool left = false;       // '-': pad on the right
  bool zero = false;       // '0': pad numbers with zeros
  bool alternate = false;  // '#': 0x / 0X before hexadecimal numbers
  int width = 0;
  int precision = -1;      // strings: at most this many characters; numbers: at least this many digits
};

// Emits `body` (`count` characters) with a prefix, padded to the width.
void Emit(Output& out, const Spec& spec, const char* prefix, const char* body, int count, bool number) {
  const int prefixLength = static_cast<int>(strlen(prefix));
  int digits = count;
  if (number && spec.precision > digits) digits = spec.precision;
  int padding = spec.width - prefixLength - digits;
  if (padding < 0) padding = 0;
  if (spec.left) {
    for (int i = 0; i < prefixLength; ++i) out.Put(prefix[i]);
    out.Repeat('0', digits - count);
    for (int i = 0; i < count; ++i) out.Put(body[i]);
    out.Repeat(' ', padding);
  } else if (spec.zero && number) {
    for (int i = 0; i < prefixLength; ++i) out.Put(prefix[i]);
    out.Repeat('0', padding + digits - count);
    for (int i = 0; i < count; ++i) out.Put(body[i]);
  } else {
    out.Repeat(' ', padding);
    for (int i = 0; i < prefixLength; ++i) out.Put(prefix[i]);
    out.Repeat('0', digits - count);
    for (int i = 0; i < count; ++i) out.Put(body[i]);
  }
}

void EmitNumber(Output& out, const Spec& spec, uint64_t value, bool negative, unsigned base, bool upper,
                const char* prefix) {
  char digits[24];
  int count = 0;
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[count++] = alphabet[value % base];
    value /= base;
  } while (value != 0);
  // A precision of 0 with the value 0 prints no digit, as in C.
  if (spec.precision == 0 && count == 1 && digits[0] == '0') count = 0;
  char body[24];
  for (int i = 0; i < count; ++i) body[i] = digits[count - 1 - i];
  Emit(out, spec, negative ? "-" : prefix, body, count, true);
}

}  // namespace

int PosixwvsprintfA(LPSTR lpOutput, LPCSTR lpFormat, va_list arglist) {
  if (lpOutput == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Output out{lpOutput, 0};
  if (lpFormat == NULL) {
    lpOutput[0] = '\0';
    return 0;
  }
  va_list args;
  va_copy(args, arglist);
  const char* p = lpFormat;
  while (*p != '\0' && !out.Full()) {
    if (*p != '%') {
      out.Put(*p++);
      continue;
    }
    ++p;
    if (*p == '\0') break;
    if (*p == '%') {
      out.Put(*p++);
      continue;
    }
    Spec spec;
    for (;; ++p) {
      if (*p == '-') spec.left = true;
      else if (*p == '0') spec.zero = true;
      else if (*p == '#') spec.alternate = true;
      else break;
    }
    while (*p >= '0' && *p <= '9') {
      if (spec.width < 100000) spec.width = spec.width * 10 + (*p - '0');
      ++p;
    }
    if (*p == '.') {
      ++p;
      spec.precision = 0;
      while (*p >= '0' && *p <= '9') {
        if (spec.precision < 100000) spec.precision = spec.precision * 10 + (*p - '0');
        ++p;
      }
    }
    // Size prefixes: 'l' and 'h' keep 32-bit numbers (Windows' long is 32
    // bits); "I64" takes a 64-bit one.
    bool wide64 = false;
    bool wideText = false;
    if (*p == 'l') {
      ++p;
      wideText = true;
    } else if (*p == 'h') {
      ++p;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      p += 3;
      wide64 = true;
    }
    const char type = *p;
    if (type == '\0') break;
    ++p;
    switch (type) {
      case 'd':
      case 'i': {
        int64_t value = wide64 ? va_arg(args, int64_t) : static_cast<int64_t>(va_arg(args, int));
        const bool negative = value < 0;
        uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        EmitNumber(out, spec, magnitude, negative, 10, false, "");
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t value = wide64 ? va_arg(args, uint64_t) : static_cast<uint64_t>(va_arg(args, unsigned int));
        const unsigned base = type == 'u' ? 10 : 16;
        const char* prefix = "";
        if (spec.alternate && type != 'u' && value != 0) prefix = type == 'x' ? "0x" : "0X";
        EmitNumber(out, spec, value, false, base, type == 'X', prefix);
        break;
      }
      case 'c':
      case 'C': {
        char c = static_cast<char>(va_arg(args, int));
        Emit(out, spec, "", &c, 1, false);
        break;
      }
      case 's':
      case 'S': {
        // %ls and %S take UTF-16 text; what is not ASCII shows as '?'.
        const bool utf16 = type == 'S' || wideText;
        const void* value = va_arg(args, const void*);
        if (value == NULL) {
          value = "(null)";
          if (utf16) {
            static const WCHAR nullText[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
            value = nullText;
          }
        }
        int length = 0;
        if (utf16) {
          const WCHAR* wide = static_cast<const WCHAR*>(value);
          while (wide[length] != 0 && (spec.precision < 0 || length < spec.precision) && length < formatLimit) ++length;
          char narrow[formatLimit];
          for (int i = 0; i < length; ++i) narrow[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
          Emit(out, spec, "", narrow, length, false);
        } else {
          const char* text = static_cast<const char*>(value);
          while (text[length] != '\0' && (spec.precision < 0 || length < spec.precision) && length < formatLimit) {
            ++length;
          }
          Emit(out, spec, "", text, length, false);
        }
        break;
      }
      default:
        // An unknown type character is copied as it stands.
        out.Put(type);
        break;
    }
  }
  va_end(args);
  lpOutput[out.length] = '\0';
  return out.length;
}
