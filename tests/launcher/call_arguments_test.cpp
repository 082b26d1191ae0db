// The exact arguments that the launcher hands to the system: flags, sizes,
// handles and null pointers that the host's emulation would accept in any
// form, but that Windows reads as they stand.
#include <gtest/gtest.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher/launch_installer.h"
#include "launcher/loader_main.h"
#include "launcher_support.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

namespace {

// A layer over the active backend that writes down the arguments of the
// calls below and passes each call on unchanged.
const Platform* below;
Platform recorder;
std::vector<std::string> calls;
std::vector<DWORD> heapallocflags, heapfreeflags, globalallocflags;
HANDLE lastfile, lastmapping;

std::string Hex(uint64_t value) {
  char text[32];
  snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Null(const void* pointer) { return pointer == nullptr ? "null" : "set"; }

bool AllZero(const void* bytes, size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < count; ++i)
    if (p[i] != 0) return false;
  return true;
}

void Note(const std::string& call) { calls.push_back(call); }

LPVOID PXQ_WINAPI RecordHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  heapallocflags.push_back(flags);
  return below->HeapAlloc(heap, flags, bytes);
}
BOOL PXQ_WINAPI RecordHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  heapfreeflags.push_back(flags);
  return below->HeapFree(heap, flags, block);
}
HGLOBAL PXQ_WINAPI RecordGlobalAlloc(UINT flags, SIZE_T bytes) {
  globalallocflags.push_back(flags);
  return below->GlobalAlloc(flags, bytes);
}
BOOL PXQ_WINAPI RecordGetVersionExA(LPOSVERSIONINFOA version) {
  Note("GetVersionExA(" + std::to_string(version->dwOSVersionInfoSize) + ")");
  return below->GetVersionExA(version);
}
HMODULE PXQ_WINAPI RecordGetModuleHandleA(LPCSTR name) {
  Note(std::string("GetModuleHandleA(") + (name != nullptr ? name : "null") + ")");
  return below->GetModuleHandleA(name);
}
DWORD PXQ_WINAPI RecordGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  Note("GetModuleFileNameA(" + Null(module) + "," + std::to_string(size) + ")");
  return below->GetModuleFileNameA(module, buffer, size);
}
DWORD PXQ_WINAPI RecordGetTempPathA(DWORD size, LPSTR buffer) {
  Note("GetTempPathA(" + std::to_string(size) + ")");
  return below->GetTempPathA(size, buffer);
}
DWORD PXQ_WINAPI RecordGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  Note("GetModuleFileNameW(" + Null(module) + "," + std::to_string(size) + ")");
  return below->GetModuleFileNameW(module, buffer, size);
}
DWORD PXQ_WINAPI RecordGetTempPathW(DWORD size, LPWSTR buffer) {
  Note("GetTempPathW(" + std::to_string(size) + ")");
  return below->GetTempPathW(size, buffer);
}
DWORD PXQ_WINAPI RecordGetShortPathNameW(LPCWSTR path, LPWSTR buffer, DWORD size) {
  Note("GetShortPathNameW(" + std::string(static_cast<const void*>(path) == buffer ? "in place" : "apart") + "," +
       std::to_string(size) + ")");
  return below->GetShortPathNameW(path, buffer, size);
}
int PXQ_WINAPI RecordMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  // ExitCode is set only once the box has been closed.
  Note("MessageBoxA(" + Null(owner) + "," + caption + "," + Hex(style) + ",ExitCode " + std::to_string(ExitCode) +
       ")");
  return below->MessageBoxA(owner, text, caption, style);
}
BOOL PXQ_WINAPI RecordSetFileAttributesA(LPCSTR path, DWORD attributes) {
  Note("SetFileAttributesA(" + Hex(attributes) + ")");
  return below->SetFileAttributesA(path, attributes);
}
HANDLE PXQ_WINAPI RecordCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templatefile) {
  Note("CreateFileA(" + Hex(access) + "," + Hex(share) + "," + Null(security) + "," + Hex(disposition) + "," +
       Hex(flags) + "," + Null(templatefile) + ")");
  lastfile = below->CreateFileA(path, access, share, security, disposition, flags, templatefile);
  return lastfile;
}
HANDLE PXQ_WINAPI RecordCreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect, DWORD high,
                                           DWORD low, LPCSTR name) {
  Note(std::string("CreateFileMappingA(") + (file == lastfile ? "file" : "other") + "," + Null(security) + "," +
       Hex(protect) + "," + Hex(high) + "," + Hex(low) + "," + Null(name) + ")");
  lastmapping = below->CreateFileMappingA(file, security, protect, high, low, name);
  return lastmapping;
}
LPVOID PXQ_WINAPI RecordMapViewOfFile(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T bytes) {
  Note(std::string("MapViewOfFile(") + (mapping == lastmapping ? "mapping" : "other") + "," + Hex(access) + "," +
       Hex(high) + "," + Hex(low) + "," + Hex(bytes) + ")");
  return below->MapViewOfFile(mapping, access, high, low, bytes);
}
int PXQ_WINAPI RecordMultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int count, LPWSTR units,
                                         int room) {
  Note("MultiByteToWideChar(" + std::to_string(codepage) + "," + Hex(flags) + "," + std::to_string(count) + "," +
       std::to_string(room) + ")");
  return below->MultiByteToWideChar(codepage, flags, text, count, units, room);
}
int PXQ_WINAPI RecordWideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR units, int count, LPSTR text,
                                         int room, LPCSTR defaultchar, LPBOOL useddefault) {
  Note("WideCharToMultiByte(" + std::to_string(codepage) + "," + Hex(flags) + "," + std::to_string(count) + "," +
       std::to_string(room) + "," + Null(defaultchar) + "," + Null(useddefault) + ")");
  return below->WideCharToMultiByte(codepage, flags, units, count, text, room, defaultchar, useddefault);
}
LPSTR PXQ_WINAPI RecordlstrcpynA(LPSTR to, LPCSTR from, int count) {
  Note("lstrcpynA(" + std::to_string(count) + ")");
  return below->lstrcpynA(to, from, count);
}
BOOL PXQ_WINAPI RecordCreateProcessW(LPCWSTR application, LPWSTR commandline, LPSECURITY_ATTRIBUTES processsecurity,
                                     LPSECURITY_ATTRIBUTES threadsecurity, BOOL inherit, DWORD flags,
                                     LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                     LPPROCESS_INFORMATION process) {
  std::string name;
  for (const WCHAR* unit = application; unit != nullptr && *unit != 0; ++unit) name += static_cast<char>(*unit);
  Note(std::string("CreateProcessW(") + name + "," + Null(processsecurity) + "," + Null(threadsecurity) +
       "," + std::to_string(inherit) + "," + Hex(flags) + "," + Null(environment) + "," + Null(directory) +
       ",cb=" + std::to_string(startup->cb) +
       (AllZero(&startup->lpReserved, sizeof(*startup) - offsetof(STARTUPINFOW, lpReserved)) ? ",rest 0" : ",rest set") +
       (AllZero(process, sizeof(*process)) ? ",process 0" : ",process set") + ")");
  return below->CreateProcessW(application, commandline, processsecurity, threadsecurity, inherit, flags,
                               environment, directory, startup, process);
}
DWORD PXQ_WINAPI RecordMsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitall, DWORD timeout,
                                                 DWORD mask) {
  Note("MsgWaitForMultipleObjects(" + std::to_string(count) + "," +
       (handles[0] == FAKE_PROCESS_HANDLE ? "process" : "other") + "," + std::to_string(waitall) + "," +
       Hex(timeout) + "," + Hex(mask) + ")");
  return below->MsgWaitForMultipleObjects(count, handles, waitall, timeout, mask);
}
BOOL PXQ_WINAPI RecordPeekMessageA(LPMSG message, HWND window, UINT low, UINT high, UINT remove) {
  Note("PeekMessageA(" + Null(message) + "," + Null(window) + "," + std::to_string(low) + "," +
       std::to_string(high) + "," + Hex(remove) + ")");
  return below->PeekMessageA(message, window, low, high, remove);
}
BOOL PXQ_WINAPI RecordGetExitCodeProcess(HANDLE process, LPDWORD code) {
  Note(std::string("GetExitCodeProcess(") + (process == FAKE_PROCESS_HANDLE ? "process" : "other") + ")");
  return below->GetExitCodeProcess(process, code);
}

// Installs the recorder over the active backend for its lifetime.
struct RecordingScope {
  const Platform* previous;
  RecordingScope() {
    calls.clear();
    heapallocflags.clear();
    heapfreeflags.clear();
    globalallocflags.clear();
    lastfile = lastmapping = nullptr;
    below = &Sys();
    recorder = *below;
    recorder.HeapAlloc = RecordHeapAlloc;
    recorder.HeapFree = RecordHeapFree;
    recorder.GlobalAlloc = RecordGlobalAlloc;
    recorder.GetVersionExA = RecordGetVersionExA;
    recorder.GetModuleHandleA = RecordGetModuleHandleA;
    recorder.GetModuleFileNameA = RecordGetModuleFileNameA;
    recorder.GetTempPathA = RecordGetTempPathA;
    recorder.GetModuleFileNameW = RecordGetModuleFileNameW;
    recorder.GetTempPathW = RecordGetTempPathW;
    recorder.GetShortPathNameW = RecordGetShortPathNameW;
    recorder.MessageBoxA = RecordMessageBoxA;
    recorder.SetFileAttributesA = RecordSetFileAttributesA;
    recorder.CreateFileA = RecordCreateFileA;
    recorder.CreateFileMappingA = RecordCreateFileMappingA;
    recorder.MapViewOfFile = RecordMapViewOfFile;
    recorder.MultiByteToWideChar = RecordMultiByteToWideChar;
    recorder.WideCharToMultiByte = RecordWideCharToMultiByte;
    recorder.lstrcpynA = RecordlstrcpynA;
    recorder.CreateProcessW = RecordCreateProcessW;
    recorder.MsgWaitForMultipleObjects = RecordMsgWaitForMultipleObjects;
    recorder.PeekMessageA = RecordPeekMessageA;
    recorder.GetExitCodeProcess = RecordGetExitCodeProcess;
    previous = UsePlatform(&recorder);
  }
  ~RecordingScope() { UsePlatform(previous); }
};

void ExpectAllocationFlags() {
  for (DWORD flags : heapallocflags) EXPECT_EQ(HEAP_ZERO_MEMORY, flags);
  for (DWORD flags : heapfreeflags) EXPECT_EQ(0u, flags);
  for (DWORD flags : globalallocflags) EXPECT_EQ(GMEM_FIXED, flags);
}

}  // namespace

TEST(CallArguments, StartUpReportAndRemoval) {
  ScratchDir dir;
  ScriptedScope scripted;
  Testing().platformid = VER_PLATFORM_WIN32_NT;
  Testing().architecture = PROCESSOR_ARCHITECTURE_AMD64;
  Testing().moduleimage = StampedHeader(0x07);
  Testing().modulepath = dir.File("setup.exe");  // no such file: the extraction fails
  Testing().temppath = dir.path + "/";
  RecordingScope recording;
  EXPECT_EQ(250u, RunLoader());
  // The package reader's own calls are not the launcher's.
  calls.erase(std::remove_if(calls.begin(), calls.end(),
                             [](const std::string& call) { return call.rfind("CreateFileA", 0) == 0; }),
              calls.end());
  // Each path is read back from the ANSI code page and compared with the wide call's.
  EXPECT_EQ((std::vector<std::string>{"GetVersionExA(148)", "GetModuleHandleA(kernel32.dll)", "GetModuleHandleA(null)",
                                      "GetModuleFileNameA(null,260)", "GetModuleFileNameW(null,520)",
                                      "MultiByteToWideChar(0,0,-1,520)", "GetTempPathA(520)", "GetTempPathW(520)",
                                      "MultiByteToWideChar(0,0,-1,520)", "GetModuleFileNameA(null,260)",
                                      "MessageBoxA(null,PXQ Loader,10,ExitCode 0)", "SetFileAttributesA(80)"}),
            calls);
  ExpectAllocationFlags();
}

TEST(CallArguments, ShortFormsOfLossyPaths) {
  ScratchDir dir;
  ScriptedScope scripted;
  Testing().platformid = VER_PLATFORM_WIN32_NT;
  Testing().moduleimage = StampedHeader(0x07);
  Testing().processid = 0x12345678;
  Testing().modulepath = dir.File("?.exe");
  Testing().widemodulepath = dir.File("\xE6\x97\xA5.exe");
  Testing().temppath = dir.path + "/?/";
  Testing().widetemppath = dir.path + "/\xE6\x97\xA5/";
  Testing().shortnames = {{dir.File("\xE6\x97\xA5.exe"), dir.File("8.exe")},
                          {dir.path + "/\xE6\x97\xA5/", dir.path + "/8/"}};
  RecordingScope recording;
  EXPECT_EQ(250u, RunLoader());  // no such file
  calls.erase(std::remove_if(calls.begin(), calls.end(),
                             [](const std::string& call) { return call.rfind("CreateFileA", 0) == 0; }),
              calls.end());
  // The short form goes into the path's own buffer, no further than its size,
  // with characters the code page lacks made its default one and noticed by
  // reading it back.
  std::vector<std::string> expected = {"GetVersionExA(148)", "GetModuleHandleA(kernel32.dll)", "GetModuleHandleA(null)",
                                       "GetModuleFileNameA(null,260)", "GetModuleFileNameW(null,520)",
                                       "MultiByteToWideChar(0,0,-1,520)", "GetShortPathNameW(apart,520)",
                                       "WideCharToMultiByte(0,0,-1,260,null,null)", "MultiByteToWideChar(0,0,-1,520)",
                                       "GetTempPathA(520)", "GetTempPathW(520)", "MultiByteToWideChar(0,0,-1,520)",
                                       "GetShortPathNameW(apart,520)", "WideCharToMultiByte(0,0,-1,520,null,null)",
                                       "MultiByteToWideChar(0,0,-1,520)", "GetModuleFileNameA(null,260)",
                                       "MessageBoxA(null,PXQ Loader,10,ExitCode 0)", "SetFileAttributesA(80)"};
  EXPECT_EQ(expected, calls);
  EXPECT_EQ(std::vector<std::string>{dir.path + "/8/8-444C.exe"}, CallsOf(Op_SetFileAttributesA));
}

TEST(CallArguments, TagVersionValueLaunchAndWait) {
  ScratchDir dir;
  // A window that starts at 64 KiB: offset high 0, low 0x10000, 0x10064 bytes.
  const std::string own = dir.File("setup.exe");
  const std::string tail = "\xEF\xBB\xBF<|caf\xC3\xA9|>";
  WriteFileText(own, std::string(0x20064 - tail.size(), 'z') + tail);
  ScriptedScope scripted;
  Script().fakeprocess = true;
  Script().waits = {WAIT_OBJECT_0 + 1, WAIT_OBJECT_0};
  Script().messages = {1};
  static const uint8_t translation[4] = {0x00, 0x00, 0xB0, 0x04};
  Script().versionsize = [](const char*) -> DWORD { return 64; };
  Script().versionquery = [](LPCVOID, const char* query, LPVOID* value, PUINT length) -> BOOL {
    if (strcmp(query, "\\VarFileInfo\\Translation") == 0) {
      *value = const_cast<uint8_t*>(translation);
      *length = 4;
    } else {
      *value = const_cast<char*>("/S");
      *length = 3;
    }
    return TRUE;
  };
  Testing().commandline = "\"" + own + "\"";
  RecordingScope recording;
  const std::string temp = dir.File("setup-1A2C.exe");
  EXPECT_EQ(0u, LaunchInstaller(temp.c_str(), own.c_str()));
  EXPECT_EQ((std::vector<std::string>{
                "lstrcpynA(3)",
                "CreateFileA(80000000,3,null,3,0,null)",
                "CreateFileMappingA(file,null,2,0,0,null)",
                "MapViewOfFile(mapping,4,0,10000,10064)",
                "MultiByteToWideChar(65001,0,5,5)",
                "WideCharToMultiByte(0,0,4,8,null,null)",
                // The temporary path, the Arguments value, the tag and the own
                // path in UTF-16, each in room for one unit a byte.
                "MultiByteToWideChar(0,0,-1," + std::to_string(temp.size() + 1) + ")",
                "MultiByteToWideChar(0,0,-1,3)",
                "MultiByteToWideChar(0,0,-1,5)",
                "MultiByteToWideChar(0,0,-1," + std::to_string(own.size() + 1) + ")",
                "CreateProcessW(" + temp + ",null,null,0,0,null,null,cb=68,rest 0,process 0)",
                "MsgWaitForMultipleObjects(1,process,0,ffffffff,4bf)",
                "PeekMessageA(set,null,0,0,1)",
                "PeekMessageA(set,null,0,0,1)",
                "MsgWaitForMultipleObjects(1,process,0,ffffffff,4bf)",
                "GetExitCodeProcess(process)",
            }),
            calls);
  EXPECT_EQ(std::vector<std::string>{"\"" + temp + "\" /S caf\xC3\xA9  \"" + own + "\""}, CallsOf(Op_CreateProcessW));
  ExpectAllocationFlags();
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}
