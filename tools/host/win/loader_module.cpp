// `pxq run` on Windows: the loader's code over the win32 backend of the
// platform layer, where the loader file given plays the running module:
// its first bytes are the module's image header, its path the module's
// file name, and the command line is its quoted path and the arguments.
// Every other call is Windows' own.
#include "tools/host/loader_module.h"

#include <windows.h>

#include <string>

#include "package/records.h"
#include "platform/win32.h"
#include "tools/host/input_file.h"
#include "tools/host/win/posix_names.h"

namespace {

Platform module;
uint8_t header[LOADER_STAMP_SIZE];
std::wstring widepath;
std::string ansipath;
std::string commandline;
std::wstring widecommandline;

// CommandLineToArgvW's rules: backslashes count only before a quote.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      backslashes++;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    quoted.append(backslashes, L'\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

std::string Ansi(const std::wstring& text) {
  int count = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return std::string();
  std::string ansi(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &ansi[0], count, nullptr, nullptr);
  ansi.resize(static_cast<size_t>(count - 1));
  return ansi;
}

HMODULE WINAPI ModuleHandle(LPCSTR name) {
  if (name == nullptr) return reinterpret_cast<HMODULE>(header);
  return Win32Platform()->GetModuleHandleA(name);
}

template <typename Char>
DWORD CopyName(const std::basic_string<Char>& name, Char* buffer, DWORD size) {
  if (size == 0) return 0;
  DWORD count = static_cast<DWORD>(name.size());
  if (count >= size) {
    // As Windows does: cut, terminated, the full size returned.
    name.copy(buffer, size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  name.copy(buffer, count);
  buffer[count] = 0;
  return count;
}

DWORD WINAPI ModuleFileNameA(HMODULE handle, LPSTR buffer, DWORD size) {
  if (handle != nullptr) return Win32Platform()->GetModuleFileNameA(handle, buffer, size);
  return CopyName(ansipath, buffer, size);
}

DWORD WINAPI ModuleFileNameW(HMODULE handle, LPWSTR buffer, DWORD size) {
  if (handle != nullptr) return Win32Platform()->GetModuleFileNameW(handle, buffer, size);
  return CopyName(widepath, buffer, size);
}

LPSTR WINAPI CommandLine() { return &commandline[0]; }
LPWSTR WINAPI WideCommandLine() { return &widecommandline[0]; }

// The package code as pxq's commands run it (list, extract): the names
// they give are UTF-8 and may be long, so its file calls go to the wide API.
HANDLE WINAPI Utf8CreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE model) {
  return CreateFileW(WidePath(name).c_str(), access, share, security, disposition, flags, model);
}
DWORD WINAPI Utf8GetFileAttributes(LPCSTR name) { return GetFileAttributesW(WidePath(name).c_str()); }
BOOL WINAPI Utf8SetFileAttributes(LPCSTR name, DWORD attributes) {
  return SetFileAttributesW(WidePath(name).c_str(), attributes);
}
BOOL WINAPI Utf8DeleteFile(LPCSTR name) { return DeleteFileW(WidePath(name).c_str()); }

const Platform* ToolPlatform() {
  static Platform tool;
  if (tool.CreateFileA == nullptr) {
    tool = *Win32Platform();
    tool.CreateFileA = Utf8CreateFile;
    tool.GetFileAttributesA = Utf8GetFileAttributes;
    tool.SetFileAttributesA = Utf8SetFileAttributes;
    tool.DeleteFileA = Utf8DeleteFile;
  }
  return &tool;
}

}  // namespace

// The commands' own platform until a module is set; then the loader's,
// which names files in the ANSI code page as the stub does on Windows.
const Platform* HostPlatform() { return module.GetModuleHandleA != nullptr ? &module : ToolPlatform(); }


DWORD HostSetModule(const char* path) {
  module = *Win32Platform();
  module.GetModuleHandleA = ModuleHandle;
  module.GetModuleFileNameA = ModuleFileNameA;
  module.GetModuleFileNameW = ModuleFileNameW;
  module.GetCommandLineA = CommandLine;
  module.GetCommandLineW = WideCommandLine;
  std::wstring wide = WideFromUtf8(path);
  DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return GetLastError();
  widepath.assign(need, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), need, &widepath[0], nullptr);
  if (got == 0 || got >= need) return got == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
  widepath.resize(got);
  ansipath = Ansi(widepath);
  size_t read = 0;
  int error = ReadInputAt(path, 0, header, sizeof header, &read);
  if (error != 0) return error >= PXQ_WINDOWS_ERRNO_BASE ? static_cast<DWORD>(error - PXQ_WINDOWS_ERRNO_BASE) : ERROR_ACCESS_DENIED;
  if (read < sizeof header) return ERROR_BAD_FORMAT;
  widecommandline = L"\"" + widepath + L"\"";
  commandline = Ansi(widecommandline);
  return 0;
}

void HostSetArguments(int count, const char* const* arguments) {
  std::wstring line = L"\"" + widepath + L"\"";
  for (int i = 0; i < count; ++i) line += L" " + QuoteArgument(WideFromUtf8(arguments[i]));
  widecommandline = line;
  commandline = Ansi(line);
}
