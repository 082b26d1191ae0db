#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_support.h"
#include "platform/version_resource.h"
#include "support/fifo_guard.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"

// ---- Version blocks and PE files made by hand --------------------------------

static void Put16(std::string& out, size_t at, uint32_t value) {
  out[at] = static_cast<char>(value & 0xFF);
  out[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

static void Put32(std::string& out, size_t at, uint32_t value) {
  Put16(out, at, value & 0xFFFF);
  Put16(out, at + 2, value >> 16);
}

static std::string Utf16z(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out + std::string(2, '\0');
}

static void Pad4(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

struct Node {
  std::string key;
  int type;           // 1 text, 0 binary
  std::string value;  // stored bytes
  uint32_t valuelength;
  std::vector<Node> children;
};

static Node Text(const std::string& key, const std::string& text) {
  return {key, 1, Utf16z(text), static_cast<uint32_t>(text.size() + 1), {}};
}
static Node Binary(const std::string& key, const std::string& bytes) {
  return {key, 0, bytes, static_cast<uint32_t>(bytes.size()), {}};
}
static Node Parent(const std::string& key, std::vector<Node> children) { return {key, 1, "", 0, children}; }

static std::string Encode(const Node& node) {
  std::string out(6, '\0');
  out += Utf16z(node.key);
  Pad4(out);
  out += node.value;
  for (const Node& child : node.children) {
    Pad4(out);
    out += Encode(child);
  }
  Put16(out, 0, static_cast<uint32_t>(out.size()));
  Put16(out, 2, node.valuelength);
  Put16(out, 4, node.type);
  return out;
}

static std::string FixedInfo() {
  std::string fixed(52, '\0');
  Put32(fixed, 0, 0xFEEF04BD);
  Put32(fixed, 8, 0x00010002);
  return fixed;
}

static std::string SampleBlock() {
  return Encode(Node{"VS_VERSION_INFO", 0, FixedInfo(), 52,
                     {Parent("StringFileInfo", {Parent("000004b0", {Text("Arguments", "/S"), Text("Name", "pxq")})}),
                      Parent("VarFileInfo", {Binary("Translation", std::string("\x00\x00\xb0\x04", 4))})}});
}

// A PE file with one .rsrc section: root (type 16) -> name 1 -> language 0 ->
// data entry -> the block. Offsets of the parts, for tests that damage them.
struct PeFile {
  std::string bytes;
  size_t optional;      // optional header
  size_t section;       // the section header
  size_t resources;     // file offset of the resource root
  static const size_t nameDirectory = 0x18, languageDirectory = 0x30, dataEntry = 0x48, block = 0x58;
};

static PeFile MakePe(const std::string& block, bool plus = false) {
  PeFile pe;
  const uint32_t rsrcRva = 0x1000, rawPointer = 0x200;
  std::string rsrc(PeFile::block, '\0');
  Put16(rsrc, 14, 1);  // root: one numbered entry
  Put32(rsrc, 16, 16);
  Put32(rsrc, 20, 0x80000000u | PeFile::nameDirectory);
  Put16(rsrc, PeFile::nameDirectory + 14, 1);
  Put32(rsrc, PeFile::nameDirectory + 16, 1);
  Put32(rsrc, PeFile::nameDirectory + 20, 0x80000000u | PeFile::languageDirectory);
  Put16(rsrc, PeFile::languageDirectory + 14, 1);
  Put32(rsrc, PeFile::languageDirectory + 16, 0);
  Put32(rsrc, PeFile::languageDirectory + 20, PeFile::dataEntry);
  Put32(rsrc, PeFile::dataEntry, rsrcRva + PeFile::block);
  Put32(rsrc, PeFile::dataEntry + 4, static_cast<uint32_t>(block.size()));
  rsrc += block;

  const size_t optionalSize = plus ? 240 : 224;
  std::string& out = pe.bytes;
  out.assign(rawPointer, '\0');
  out[0] = 'M';
  out[1] = 'Z';
  Put32(out, 0x3C, 0x40);
  memcpy(&out[0x40], "PE\0\0", 4);
  Put16(out, 0x44, plus ? 0x8664 : 0x14C);
  Put16(out, 0x46, 1);
  Put16(out, 0x54, static_cast<uint32_t>(optionalSize));
  pe.optional = 0x58;
  Put16(out, pe.optional, plus ? 0x20B : 0x10B);
  size_t directories = pe.optional + (plus ? 112 : 96);
  Put32(out, pe.optional + (plus ? 108 : 92), 16);
  Put32(out, directories + 16, rsrcRva);
  Put32(out, directories + 20, static_cast<uint32_t>(rsrc.size()));
  pe.section = pe.optional + optionalSize;
  memcpy(&out[pe.section], ".rsrc", 5);
  Put32(out, pe.section + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(out, pe.section + 12, rsrcRva);
  Put32(out, pe.section + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(out, pe.section + 20, rawPointer);
  pe.resources = rawPointer;
  out += rsrc;
  return pe;
}

static DWORD FindError(const std::string& file) {
  size_t offset = 0, length = 0;
  return FindVersionBlock(reinterpret_cast<const uint8_t*>(file.data()), file.size(), &offset, &length);
}

// ---- The operations over a file ------------------------------------------------

// The version block of `path` as GetFileVersionInfoA gives it.
struct VersionInfo {
  std::vector<uint8_t> buffer;
  DWORD error = 0;
};

static VersionInfo ReadInfo(const std::string& path) {
  VersionInfo info;
  DWORD handle = 99;
  DWORD size = Host().GetFileVersionInfoSizeA(path.c_str(), &handle);
  EXPECT_EQ(handle, 0u);
  if (size == 0) {
    info.error = Host().GetLastError();
    return info;
  }
  info.buffer.resize(size);
  if (!Host().GetFileVersionInfoA(path.c_str(), handle, size, info.buffer.data())) {
    info.error = Host().GetLastError();
    info.buffer.clear();
  }
  return info;
}

struct Query {
  bool found;
  std::string bytes;  // the value as handed out (text without its terminator)
  UINT length;
};

static Query Ask(VersionInfo& info, const char* path) {
  LPVOID value = nullptr;
  UINT length = 0;
  Query query = {false, "", 0};
  if (!Host().VerQueryValueA(info.buffer.data(), path, &value, &length)) return query;
  query.found = true;
  query.length = length;
  const uint8_t* at = static_cast<const uint8_t*>(value);
  // Whatever is handed out lies inside the caller's buffer.
  EXPECT_GE(at, info.buffer.data()) << path;
  EXPECT_LE(at + length, info.buffer.data() + info.buffer.size()) << path;
  query.bytes.assign(reinterpret_cast<const char*>(at), length);
  return query;
}

TEST(VersionResource, QueriesAHandMadeBlockInPe32AndPe32Plus) {
  ScratchDir directory;
  for (bool plus : {false, true}) {
    std::string path = directory.File(plus ? "plus.exe" : "pe32.exe");
    WriteFileText(path, MakePe(SampleBlock(), plus).bytes);
    VersionInfo info = ReadInfo(path);
    ASSERT_EQ(info.error, 0u) << plus;
    EXPECT_GE(info.buffer.size(), SampleBlock().size());
    EXPECT_EQ(memcmp(info.buffer.data(), SampleBlock().data(), SampleBlock().size()), 0);

    Query translation = Ask(info, "\\VarFileInfo\\Translation");
    ASSERT_TRUE(translation.found);
    EXPECT_EQ(translation.bytes, std::string("\x00\x00\xb0\x04", 4));
    Query arguments = Ask(info, "\\StringFileInfo\\000004b0\\Arguments");
    ASSERT_TRUE(arguments.found);
    EXPECT_EQ(arguments.bytes, std::string("/S\0", 3));
    EXPECT_EQ(Ask(info, "\\StringFileInfo\\000004b0\\Name").bytes, std::string("pxq\0", 4));
    Query fixed = Ask(info, "\\");
    EXPECT_EQ(fixed.bytes, FixedInfo());
    EXPECT_FALSE(Ask(info, "\\StringFileInfo\\000004b0\\Missing").found);
    EXPECT_EQ(Host().GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
}

TEST(VersionResource, DamagedFilesFailWithTheirReason) {
  const PeFile pe = MakePe(SampleBlock());
  const size_t dirs = pe.optional + 96;
  const size_t r = pe.resources;
  struct Damage {
    const char* what;
    size_t at;          // where to write
    uint32_t value;     // 32-bit value written there (16-bit when wide is false)
    bool wide;
    DWORD error;
  };
  const Damage cases[] = {
      {"no MZ", 0, 0x4D58, false, ERROR_BAD_EXE_FORMAT},
      {"e_lfanew past the end", 0x3C, 0x7FFFFFF0, true, ERROR_BAD_EXE_FORMAT},
      {"no PE signature", 0x40, 0x00004551, true, ERROR_BAD_EXE_FORMAT},
      {"unknown optional magic", pe.optional, 0x107, false, ERROR_BAD_EXE_FORMAT},
      {"optional header past the end", 0x54, 0xFFFF, false, ERROR_BAD_EXE_FORMAT},
      {"section table past the end", 0x46, 0xFFFF, false, ERROR_BAD_EXE_FORMAT},
      {"only two data directories", pe.optional + 92, 2, true, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"no resource directory", dirs + 16, 0, true, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"resources in no section", dirs + 16, 0x9000, true, ERROR_BAD_EXE_FORMAT},
      {"section raw data past the end", pe.section + 20, 0x7FFFFF00, true, ERROR_BAD_EXE_FORMAT},
      {"no version type", r + 16, 3, true, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"version type named, not numbered", r + 12, 1, false, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"root entries past the section", r + 14, 0xFFFF, false, ERROR_BAD_EXE_FORMAT},
      {"type entry is data", r + 20, PeFile::nameDirectory, true, ERROR_BAD_EXE_FORMAT},
      {"subdirectory past the section", r + 20, 0x80FFFFF0u, true, ERROR_BAD_EXE_FORMAT},
      {"no name", r + PeFile::nameDirectory + 14, 0, false, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"no language", r + PeFile::languageDirectory + 14, 0, false, ERROR_RESOURCE_LANG_NOT_FOUND},
      {"language entry loops to the root", r + PeFile::languageDirectory + 20, 0x80000000u, true,
       ERROR_BAD_EXE_FORMAT},
      {"name entry loops to itself", r + PeFile::nameDirectory + 20, 0x80000000u | PeFile::nameDirectory, true,
       ERROR_BAD_EXE_FORMAT},
      {"data entry past the section", r + PeFile::languageDirectory + 20, 0xFFFF0, true, ERROR_BAD_EXE_FORMAT},
      {"data in no section", r + PeFile::dataEntry, 0x20, true, ERROR_BAD_EXE_FORMAT},
      {"data size past the section", r + PeFile::dataEntry + 4, 0x10000, true, ERROR_BAD_EXE_FORMAT},
      {"block longer than its data", r + PeFile::block, 0xFFF0, false, ERROR_BAD_EXE_FORMAT},
      {"block shorter than a node", r + PeFile::block, 4, false, ERROR_BAD_EXE_FORMAT},
  };
  ASSERT_EQ(FindError(pe.bytes), 0u);
  for (const Damage& d : cases) {
    std::string bytes = pe.bytes;
    if (d.wide) {
      Put32(bytes, d.at, d.value);
    } else {
      Put16(bytes, d.at, d.value);
    }
    EXPECT_EQ(FindError(bytes), d.error) << d.what;
  }
  // Every cut of the file fails cleanly (and reads nothing past the cut).
  for (size_t cut = 0; cut < pe.bytes.size(); cut++) {
    std::vector<uint8_t> piece(pe.bytes.begin(), pe.bytes.begin() + static_cast<long>(cut));
    size_t offset, length;
    EXPECT_NE(FindVersionBlock(piece.data(), piece.size(), &offset, &length), 0u) << cut;
  }
}

TEST(VersionResource, MalformedBlocksEndTheWalk) {
  auto find = [](const std::string& block, const std::string& query) {
    std::vector<WCHAR> path(query.begin(), query.end());
    VersionValue value;
    return FindVersionValue(reinterpret_cast<const uint8_t*>(block.data()), block.size(), path.data(), path.size(),
                            &value);
  };
  std::string good = Encode(Parent("ROOT", {Parent("A", {Text("B", "x")})}));
  ASSERT_TRUE(find(good, "\\A\\B"));
  const size_t childA = 16;  // after "ROOT" and its padding
  const size_t childB = childA + 12;  // after "A" and its padding

  std::string zeroLength = good;
  Put16(zeroLength, childA, 0);
  EXPECT_FALSE(find(zeroLength, "\\A\\B"));
  std::string pastParent = good;
  Put16(pastParent, childB, 0x100);
  EXPECT_FALSE(find(pastParent, "\\A\\B"));
  std::string rootPastBuffer = good;
  Put16(rootPastBuffer, 0, static_cast<uint32_t>(good.size() + 2));
  EXPECT_FALSE(find(rootPastBuffer, "\\A\\B"));
  // A key without its terminator inside the node.
  std::string unterminated = Encode(Parent("ROOT", {Node{"A", 1, "", 0, {}}}));
  ASSERT_TRUE(find(unterminated, "\\A"));
  Put16(unterminated, childA, 6 + 2);  // the node ends inside its key
  EXPECT_FALSE(find(unterminated, "\\A"));
  // A value that claims more than its node holds is cut to the node.
  std::string longValue = good;
  Put16(longValue, childB + 2, 0x7FFF);
  std::vector<WCHAR> path = {'\\', 'A', '\\', 'B'};
  VersionValue value;
  ASSERT_TRUE(FindVersionValue(reinterpret_cast<const uint8_t*>(longValue.data()), longValue.size(), path.data(),
                               path.size(), &value));
  EXPECT_LE(value.offset + value.length, longValue.size());
  EXPECT_EQ(value.length % 2, 0u);
  // Every cut of a good block is safe to walk.
  for (size_t cut = 0; cut <= good.size(); cut++) {
    std::vector<uint8_t> piece(good.begin(), good.begin() + static_cast<long>(cut));
    VersionValue ignored;
    bool found = FindVersionValue(piece.data(), piece.size(), path.data(), path.size(), &ignored);
    EXPECT_EQ(found, cut == good.size()) << cut;
  }
}

TEST(VersionResource, FilesWithoutAVersionBlock) {
  ScratchDir directory;
  WriteFileText(directory.File("text.txt"), "just some text that is long enough to be read as a header......");
  WriteFileText(directory.File("empty.exe"), "");
  const struct {
    std::string path;
    DWORD error;
  } cases[] = {
      {directory.File("missing.exe"), ERROR_FILE_NOT_FOUND},
      {directory.File("text.txt"), ERROR_BAD_EXE_FORMAT},
      {directory.File("empty.exe"), ERROR_BAD_EXE_FORMAT},
      {directory.path, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    Host().SetLastError(0);
    EXPECT_EQ(Host().GetFileVersionInfoSizeA(c.path.c_str(), nullptr), 0u) << c.path;
    EXPECT_EQ(Host().GetLastError(), c.error) << c.path;
  }

  // A FIFO is no PE file either: refused at once, not after a writer came.
  const std::string fifo = directory.File("fifo.exe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  DWORD size = 1, error = 0;
  EXPECT_TRUE(ReturnsWithoutAWriter(fifo, [&] {
    size = Host().GetFileVersionInfoSizeA(fifo.c_str(), nullptr);
    error = Host().GetLastError();
  }));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(error, ERROR_BAD_EXE_FORMAT);
}

TEST(VersionResource, ShortBufferIsRefused) {
  ScratchDir directory;
  std::string path = directory.File("a.exe");
  WriteFileText(path, MakePe(SampleBlock()).bytes);
  DWORD size = Host().GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> buffer(size);
  EXPECT_FALSE(Host().GetFileVersionInfoA(path.c_str(), 0, size - 1, buffer.data()));
  EXPECT_EQ(Host().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// ---- Files made by the Windows toolchain --------------------------------------

static const char* versionScript = R"(1 VERSIONINFO
FILEVERSION 1,2,3,4
PRODUCTVERSION 1,2,3,4
FILEOS 0x4
FILETYPE 0x1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "000004b0"
    BEGIN
      VALUE "Arguments", "/S /D=C:\\Program Files\\App"
      VALUE "Empty", ""
      VALUE "Latin", L"caf\x00e9 \x20ac \x0100"
    END
    BLOCK "040904b0"
    BEGIN
      VALUE "CompanyName", "Other table"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x0000, 0x04B0
  END
END
)";

TEST(VersionResource, ReadsWhatTheWindowsToolchainWrites) {
  ScratchDir directory;
  std::string path = BuildWindowsExe(directory, "versioned", versionScript);
  if (path.empty()) GTEST_SKIP() << "i686-w64-mingw32-gcc and -windres are not installed";
  VersionInfo info = ReadInfo(path);
  ASSERT_EQ(info.error, 0u);

  Query translation = Ask(info, "\\VarFileInfo\\Translation");
  EXPECT_EQ(translation.bytes, std::string("\x00\x00\xb0\x04", 4));
  const struct {
    const char* path;
    std::string text;  // as handed out, terminator included
  } strings[] = {
      {"\\StringFileInfo\\000004b0\\Arguments", std::string("/S /D=C:\\Program Files\\App", 27)},
      {"\\stringfileinfo\\000004B0\\ARGUMENTS", std::string("/S /D=C:\\Program Files\\App", 27)},
      {"StringFileInfo\\\\000004b0\\Arguments\\", std::string("/S /D=C:\\Program Files\\App", 27)},
      {"\\StringFileInfo\\000004b0\\Empty", std::string("", 1)},
      {"\\StringFileInfo\\000004b0\\Latin", std::string("caf\xe9 \x80 ?", 9)},
      {"\\StringFileInfo\\040904b0\\CompanyName", std::string("Other table", 12)},
  };
  for (const auto& s : strings) {
    Query query = Ask(info, s.path);
    ASSERT_TRUE(query.found) << s.path;
    EXPECT_EQ(query.bytes, s.text) << s.path;
    EXPECT_EQ(query.length, s.text.size()) << s.path;
  }
  // Each table has only its own values.
  EXPECT_FALSE(Ask(info, "\\StringFileInfo\\000004b0\\CompanyName").found);
  EXPECT_FALSE(Ask(info, "\\StringFileInfo\\040904b0\\Arguments").found);

  // Earlier answers stay in place while the block lives.
  LPVOID first = nullptr;
  UINT length = 0;
  ASSERT_TRUE(Host().VerQueryValueA(info.buffer.data(), "\\StringFileInfo\\000004b0\\Arguments", &first, &length));
  Ask(info, "\\StringFileInfo\\000004b0\\Latin");
  Ask(info, "\\StringFileInfo\\040904b0\\CompanyName");
  EXPECT_STREQ(static_cast<const char*>(first), "/S /D=C:\\Program Files\\App");

  Query fixed = Ask(info, "\\");
  ASSERT_EQ(fixed.bytes.size(), 52u);
  uint32_t signature, versionHigh, versionLow;
  memcpy(&signature, fixed.bytes.data(), 4);
  memcpy(&versionHigh, fixed.bytes.data() + 8, 4);
  memcpy(&versionLow, fixed.bytes.data() + 12, 4);
  EXPECT_EQ(signature, 0xFEEF04BDu);
  EXPECT_EQ(versionHigh, 0x00010002u);
  EXPECT_EQ(versionLow, 0x00030004u);

  std::string bare = BuildWindowsExe(directory, "bare", "");
  Host().SetLastError(0);
  EXPECT_EQ(Host().GetFileVersionInfoSizeA(bare.c_str(), nullptr), 0u);
  EXPECT_EQ(Host().GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
}
