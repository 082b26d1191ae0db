// The Windows backend of the host layer, as pxq.exe uses it: staged
// outputs, the release library's file access, file identity, names
// (non-ASCII, past MAX_PATH) and the console control handler. Built with
// mingw-w64 and run under wine64 (or on Windows).
//
// The control handler ends the process, so each event is given to a child:
// this program started again as `pxq-host-tests.exe control-event ...`.
#include <signal.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/host/host_error.h"
#include "tools/host/input_file.h"
#include "tools/host/output_file.h"
#include "tools/host/signals.h"
#include "tools/host/win/control_event.h"
#include "tools/release/file_access.h"

namespace {

const DWORD kControlExit = 0xC000013Au;

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(child);
      else
        DeleteFileW(child.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

// A folder of the test's own in the temporary directory, removed at the end.
struct Folder {
  std::string path;
  Folder() {
    static int counter = 0;
    wchar_t base[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, base);
    path = Utf8FromWide(std::wstring(base, n)) + "pxq-host-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
    CreateDirectoryW(WidePath(path).c_str(), nullptr);
  }
  ~Folder() { RemoveTree(WidePath(path)); }
  std::string File(const std::string& name) const { return path + "\\" + name; }
};

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(WidePath(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = Utf8FromWide(found.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void WriteText(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << path << " error " << GetLastError();
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (ReadWholeFile(path, &bytes) != 0) return "(unreadable)";
  return std::string(bytes.begin(), bytes.end());
}

TEST(StagedOutput, TheFinalNameChangesOnlyOnCommit) {
  Folder folder;
  std::string setup = folder.File("setup.exe");
  WriteText(setup, "old");
  OutputFile output;
  ASSERT_EQ(0, BeginOutput(setup, 0644, &output));
  std::vector<std::string> names = Names(folder.path);
  ASSERT_EQ(2u, names.size());
  EXPECT_EQ(0u, names[0].rfind(".setup.exe.pxq-", 0)) << names[0];
  ASSERT_EQ(0, WriteFully(output.fd, reinterpret_cast<const uint8_t*>("new"), 3));
  EXPECT_EQ("old", ReadText(setup));
  ASSERT_EQ(0, CommitOutput(&output));
  EXPECT_EQ("new", ReadText(setup));
  EXPECT_EQ(std::vector<std::string>{"setup.exe"}, Names(folder.path));

  ASSERT_EQ(0, BeginOutput(setup, 0644, &output));
  ASSERT_EQ(0, WriteFully(output.fd, reinterpret_cast<const uint8_t*>("half"), 4));
  DiscardOutput(&output);
  EXPECT_EQ("new", ReadText(setup));
  EXPECT_EQ(std::vector<std::string>{"setup.exe"}, Names(folder.path));
}

TEST(StagedOutput, CheckOutputNameRefusesWhatCannotBeReplaced) {
  Folder folder;
  EXPECT_EQ(0, CheckOutputName(folder.File("absent.exe")));
  WriteText(folder.File("plain.exe"), "x");
  EXPECT_EQ(0, CheckOutputName(folder.File("plain.exe")));
  EXPECT_EQ(EISDIR, CheckOutputName(folder.path));
  // Held open by someone who does not share deletion: in use, said before any work.
  HANDLE held = CreateFileW(WidePath(folder.File("plain.exe")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  int error = CheckOutputName(folder.File("plain.exe"));
  CloseHandle(held);
  EXPECT_EQ(PXQ_WINDOWS_ERRNO_BASE + ERROR_SHARING_VIOLATION, error);
  EXPECT_NE(std::string::npos, HostErrorText(error).find("(error 32)")) << HostErrorText(error);
}

TEST(FileAccess, ReadsAtAnOffsetAndNamesFailures) {
  Folder folder;
  std::string file = folder.File("ten.bin");
  WriteText(file, "0123456789");
  uint8_t bytes[16] = {};
  size_t got = 0;
  ASSERT_EQ(0u, ReadFileAt(file, 6, bytes, sizeof bytes, &got));
  EXPECT_EQ("6789", std::string(reinterpret_cast<char*>(bytes), got));
  ASSERT_EQ(0u, ReadFileAt(file, 10, bytes, sizeof bytes, &got));
  EXPECT_EQ(0u, got);
  uint64_t size = 0;
  ASSERT_EQ(0u, FileSizeOf(file, &size));
  EXPECT_EQ(10u, size);

  EXPECT_EQ(2u, FileSizeOf(folder.File("absent.bin"), &size));
  EXPECT_EQ(2u, ReadFileAt(folder.File("absent.bin"), 0, bytes, 1, &got));
  std::string words = FileErrorWords(2);
  EXPECT_NE(std::string::npos, words.find("(error 2)")) << words;
  EXPECT_EQ(5u, ReadFileAt(folder.path, 0, bytes, 1, &got)) << "a folder is no regular file";
}

TEST(FileIdentity, TheSameFileWhateverItsName) {
  Folder folder;
  std::string build = folder.File("Build.exe");
  WriteText(build, "build");
  WriteText(folder.File("copy.exe"), "build");
  ASSERT_TRUE(CreateHardLinkW(WidePath(folder.File("linked.exe")).c_str(), WidePath(build).c_str(), nullptr));
  EXPECT_TRUE(SameFile(build, folder.File("BUILD.EXE")));
  EXPECT_TRUE(SameFile(build, folder.File("linked.exe")));
  EXPECT_FALSE(SameFile(build, folder.File("copy.exe")));
  EXPECT_FALSE(SameFile(build, folder.File("absent.exe")));
}

TEST(Names, NonAsciiAndPastMaxPath) {
  const std::string name = "\xC5\x81\xC3\xB3\x64\xC5\xBA-\xE6\x97\xA5\xE6\x9C\xAC";  // Łódź-日本
  EXPECT_EQ(name, Utf8FromWide(WideFromUtf8(name)));
  EXPECT_EQ(L"", WideFromUtf8("bad \xFF byte"));
  Folder folder;
  std::string deep = folder.path + "\\" + name;
  for (int i = 0; i < 5; ++i) deep += "\\folder-with-a-long-name-abcdefghijklmnopqrstuvwxyz-" + std::to_string(i);
  ASSERT_GT(deep.size(), 300u);
  EXPECT_EQ(0u, WidePath(deep).rfind(L"\\\\?\\", 0));
  std::string made = folder.path;
  for (size_t at = folder.path.size() + 1; at <= deep.size(); ++at) {
    if (at == deep.size() || deep[at] == '\\') {
      made = deep.substr(0, at);
      ASSERT_TRUE(CreateDirectoryW(WidePath(made).c_str(), nullptr)) << made << " error " << GetLastError();
    }
  }
  std::string file = deep + "\\" + name + ".exe";
  OutputFile output;
  ASSERT_EQ(0, BeginOutput(file, 0644, &output));
  ASSERT_EQ(0, WriteFully(output.fd, reinterpret_cast<const uint8_t*>("deep"), 4));
  ASSERT_EQ(0, CommitOutput(&output));
  EXPECT_EQ("deep", ReadText(file));
  EXPECT_EQ(std::vector<std::string>{name + ".exe"}, Names(deep));
}

// The child's part: stages an output over FOLDER\setup.exe and a file held
// open as the installer library holds its temporary one, then gives the
// handler EVENT. With `forward`, signals are forwarded first (pxq run):
// the handler must note the event and return, and the child exits with the
// signal noted.
int ControlEventChild(const std::string& folder, DWORD event, bool forward) {
  InstallSignalHandlers();
  if (forward) ForwardSignals();
  OutputFile output;
  if (BeginOutput(folder + "\\setup.exe", 0644, &output) != 0) return 100;
  if (WriteFully(output.fd, reinterpret_cast<const uint8_t*>("half"), 4) != 0) return 101;
  std::string partial = folder + "\\.pxq-0000.partial";
  HANDLE held = CreateFileW(WidePath(partial).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, 0,
                            nullptr);
  if (held == INVALID_HANDLE_VALUE) return 102;
  RemoveOnSignal(partial);
  BOOL handled = OnConsoleControlEvent(event);
  if (!forward) return 103;  // the handler returned: pxq would run on
  return handled ? ReceivedSignal() : 104;
}

// Runs this program as the child above; its exit code.
DWORD RunControlEventChild(const std::string& folder, DWORD event, bool forward) {
  wchar_t self[MAX_PATH + 1];
  GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  std::wstring line = L"\"" + std::wstring(self) + L"\" control-event \"" + WidePath(folder) + L"\" " +
                      std::to_wstring(event) + (forward ? L" forward" : L"");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return 1000;
  DWORD code = 1001;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

const struct {
  DWORD event;
  const char* name;
  int signal;  // as pxq run passes it on
} kEvents[] = {{CTRL_C_EVENT, "Ctrl+C", SIGINT},
               {CTRL_BREAK_EVENT, "Ctrl+Break", SIGBREAK},
               {CTRL_CLOSE_EVENT, "console closed", SIGTERM},
               {CTRL_LOGOFF_EVENT, "logoff", SIGTERM},
               {CTRL_SHUTDOWN_EVENT, "shutdown", SIGTERM}};

TEST(ControlEvent, EachEventRemovesTheStagedFilesAndEndsPxq) {
  for (const auto& event : kEvents) {
    Folder folder;
    WriteText(folder.File("setup.exe"), "old");
    EXPECT_EQ(kControlExit, RunControlEventChild(folder.path, event.event, false)) << event.name;
    EXPECT_EQ(std::vector<std::string>{"setup.exe"}, Names(folder.path)) << event.name;
    EXPECT_EQ("old", ReadText(folder.File("setup.exe"))) << event.name;
  }
}

TEST(ControlEvent, UnderRunTheEventIsNotedAndPxqGoesOn) {
  for (const auto& event : kEvents) {
    Folder folder;
    EXPECT_EQ(static_cast<DWORD>(event.signal), RunControlEventChild(folder.path, event.event, true)) << event.name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "control-event") {
    return ControlEventChild(argv[2], static_cast<DWORD>(atoi(argv[3])), argc >= 5);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
