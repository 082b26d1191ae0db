// Text conversion between UTF-16 and the two 8-bit code pages of the host:
// UTF-8 (CP_UTF8), and Windows-1252, which stands for the system's ANSI code
// page (CP_ACP) here. The arguments are checked, and failures reported, as
// Windows does: a zero or negative input length (other than -1, "through the
// terminator") or a negative output room is ERROR_INVALID_PARAMETER, an
// output room of 0 asks for the size needed, too little room is
// ERROR_INSUFFICIENT_BUFFER.
//
// What the host leaves out: no best-fit mapping (every character that
// Windows-1252 lacks becomes the default character, as with
// WC_NO_BEST_FIT_CHARS), no composition or decomposition, no other code
// pages (ERROR_INVALID_PARAMETER, as for a code page that is not installed),
// and the flags that ask for those are refused with ERROR_INVALID_FLAGS.
#include <limits.h>

#include "platform/posix_internal.h"

#define PXQ_MB_PRECOMPOSED 0x00000001u
#define PXQ_CP_WINDOWS_1252 1252u

// Windows-1252's bytes 0x80 to 0x9F. The five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control characters of
// the same number, as Windows maps them, so every byte converts and back.
static const WCHAR windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

static WCHAR Windows1252ToUnicode(uint8_t byte) {
  return byte >= 0x80 && byte <= 0x9F ? windows1252High[byte - 0x80] : byte;
}

// The byte for `unit`, or -1 when Windows-1252 lacks it.
static int UnicodeToWindows1252(uint32_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<int>(unit);
  for (int i = 0; i < 32; i++) {
    if (windows1252High[i] == unit) return 0x80 + i;
  }
  return -1;
}

static bool IsAnsiCodePage(UINT codepage) { return codepage == CP_ACP || codepage == PXQ_CP_WINDOWS_1252; }

// The output side of a conversion: counts when there is no room given,
// otherwise writes and notices when the room runs out.
template <typename Unit>
struct Output {
  Unit* buffer;
  int room;  // 0: count only
  int count;
  bool full;
};

template <typename Unit>
static void Put(Output<Unit>& output, Unit unit) {
  if (output.full) return;
  if (output.count == INT_MAX) {  // more than an int can count
    output.full = true;
    return;
  }
  if (output.room != 0) {
    if (output.count >= output.room) {
      output.full = true;
      return;
    }
    output.buffer[output.count] = unit;
  }
  output.count++;
}

template <typename Unit>
static int Finish(const Output<Unit>& output) {
  if (output.full) {
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return output.count;
}

static bool IsContinuation(uint8_t byte, uint8_t low = 0x80, uint8_t high = 0xBF) {
  return byte >= low && byte <= high;
}

// Decodes one UTF-8 character at `text` (`length` > 0 bytes). Returns the
// bytes used and sets `code` to the code point, or to -1 for an ill-formed
// sequence: then the bytes used are its maximal ill-formed part (at least
// one), which becomes one U+FFFD as the Unicode standard recommends.
static int DecodeUtf8(const uint8_t* text, int length, int32_t& code) {
  uint8_t lead = text[0];
  code = -1;
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  int trail;
  uint8_t low = 0x80, high = 0xBF;
  int32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;
  }
  int used = 1;
  for (int i = 0; i < trail; i++) {
    if (used >= length || !IsContinuation(text[used], i == 0 ? low : 0x80, i == 0 ? high : 0xBF)) return used;
    value = (value << 6) | (text[used] & 0x3F);
    used++;
  }
  code = value;
  return used;
}

int PosixMultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                             LPWSTR lpWideCharStr, int cchWideChar) {
  if (lpMultiByteStr == NULL || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (lpWideCharStr == NULL && cchWideChar != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (CodePage != CP_UTF8 && !IsAnsiCodePage(CodePage)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_ERR_INVALID_CHARS | PXQ_MB_PRECOMPOSED;
  if ((dwFlags & ~allowed) != 0) {
    PosixSetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const uint8_t* text = reinterpret_cast<const uint8_t*>(lpMultiByteStr);
  int length = cbMultiByte;
  if (length == -1) {
    length = 0;
    while (text[length] != 0) length++;
    length++;  // the terminator is converted too
  }

  Output<WCHAR> output = {lpWideCharStr, cchWideChar, 0, false};
  if (IsAnsiCodePage(CodePage)) {
    for (int i = 0; i < length; i++) Put(output, Windows1252ToUnicode(text[i]));
    return Finish(output);
  }
  for (int i = 0; i < length;) {
    int32_t code;
    i += DecodeUtf8(text + i, length - i, code);
    if (code < 0) {
      if (dwFlags & MB_ERR_INVALID_CHARS) {
        PosixSetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      code = 0xFFFD;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      Put(output, static_cast<WCHAR>(0xD800 + (code >> 10)));
      Put(output, static_cast<WCHAR>(0xDC00 + (code & 0x3FF)));
    } else {
      Put(output, static_cast<WCHAR>(code));
    }
  }
  return Finish(output);
}

int PosixWideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                             LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                             LPBOOL lpUsedDefaultChar) {
  if (lpWideCharStr == NULL || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (lpMultiByteStr == NULL && cbMultiByte != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool utf8 = CodePage == CP_UTF8;
  if (!utf8 && !IsAnsiCodePage(CodePage)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD allowed = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  if ((dwFlags & ~allowed) != 0) {
    PosixSetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // UTF-8 has no default character: Windows refuses one.
  if (utf8 && (lpDefaultChar != NULL || lpUsedDefaultChar != NULL)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int length = cchWideChar;
  if (length == -1) {
    length = 0;
    while (lpWideCharStr[length] != 0) length++;
    length++;
  }
  char defaultChar = lpDefaultChar != NULL ? lpDefaultChar[0] : '?';
  bool usedDefault = false;

  Output<char> output = {lpMultiByteStr, cbMultiByte, 0, false};
  for (int i = 0; i < length; i++) {
    uint32_t code = lpWideCharStr[i];
    bool valid = true;
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length && lpWideCharStr[i + 1] >= 0xDC00 &&
        lpWideCharStr[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00);
      i++;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      valid = false;  // a surrogate without its partner
    }
    if (!utf8) {
      int byte = valid ? UnicodeToWindows1252(code) : -1;
      if (byte < 0) {
        usedDefault = true;
        Put(output, defaultChar);
      } else {
        Put(output, static_cast<char>(byte));
      }
      continue;
    }
    if (!valid) {
      if (dwFlags & WC_ERR_INVALID_CHARS) {
        PosixSetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      code = 0xFFFD;
    }
    // A character goes out whole or not at all.
    char bytes[4];
    int count;
    if (code < 0x80) {
      bytes[0] = static_cast<char>(code);
      count = 1;
    } else if (code < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (code >> 6));
      bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
      count = 2;
    } else if (code < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (code >> 12));
      bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
      count = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (code >> 18));
      bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
      count = 4;
    }
    if (output.room != 0 && count > output.room - output.count) output.full = true;
    for (int k = 0; k < count; k++) Put(output, bytes[k]);
  }
  if (lpUsedDefaultChar != NULL) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  return Finish(output);
}
