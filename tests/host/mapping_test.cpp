#include <string.h>

#include <gtest/gtest.h>

#include "host_support.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

static const size_t granularity = 65536;

static HANDLE OpenForReading(const std::string& path) {
  return Host().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
}

// A file of three 64 KiB blocks and 100 bytes more, each byte telling its place.
static std::string Pattern() {
  std::string bytes(3 * granularity + 100, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>((i * 7 + i / granularity) & 0xFF);
  return bytes;
}

// Maps the whole of `path`, closing the file handle right away as the loader does.
static HANDLE MapWhole(const std::string& path, DWORD maxHigh = 0, DWORD maxLow = 0) {
  HANDLE file = OpenForReading(path);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
  HANDLE mapping = Host().CreateFileMappingA(file, nullptr, PAGE_READONLY, maxHigh, maxLow, nullptr);
  DWORD error = Host().GetLastError();
  EXPECT_TRUE(Host().CloseHandle(file));
  Host().SetLastError(error);
  return mapping;
}

TEST(FileMapping, ViewsShowTheFileAtGranularOffsets) {
  ScratchDir directory;
  const std::string content = Pattern();
  std::string path = directory.File("data.bin");
  WriteFileText(path, content);
  HANDLE mapping = MapWhole(path);
  ASSERT_NE(mapping, nullptr);

  const struct {
    uint64_t offset;
    size_t length;  // 0: to the end
  } views[] = {{0, 10}, {granularity, 1000}, {2 * granularity, 0}, {3 * granularity, 100}, {0, 0}};
  for (const auto& v : views) {
    const char* view = static_cast<const char*>(
        Host().MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(v.offset >> 32),
                             static_cast<DWORD>(v.offset), v.length));
    ASSERT_NE(view, nullptr) << v.offset << " " << Host().GetLastError();
    size_t length = v.length != 0 ? v.length : content.size() - v.offset;
    EXPECT_EQ(memcmp(view, content.data() + v.offset, length), 0) << v.offset;
    EXPECT_TRUE(Host().UnmapViewOfFile(view));
  }

  // A view outlives its mapping handle.
  const char* last = static_cast<const char*>(Host().MapViewOfFile(mapping, FILE_MAP_READ, 0, 3 * granularity, 0));
  ASSERT_NE(last, nullptr);
  EXPECT_TRUE(Host().CloseHandle(mapping));
  EXPECT_EQ(last[99], content[3 * granularity + 99]);
  EXPECT_TRUE(Host().UnmapViewOfFile(last));
  // Unmapping it again, or any address that is no view, fails.
  EXPECT_FALSE(Host().UnmapViewOfFile(last));
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_FALSE(Host().UnmapViewOfFile(content.data()));
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_ADDRESS);
}

TEST(FileMapping, RefusedViews) {
  ScratchDir directory;
  std::string path = directory.File("data.bin");
  WriteFileText(path, Pattern());
  const uint64_t size = Pattern().size();
  HANDLE mapping = MapWhole(path);
  ASSERT_NE(mapping, nullptr);
  const struct {
    const char* what;
    DWORD access;
    uint64_t offset;
    size_t length;
    DWORD error;
  } cases[] = {
      {"offset not a multiple of 65,536", FILE_MAP_READ, 4096, 10, ERROR_MAPPED_ALIGNMENT},
      {"offset at the end", FILE_MAP_READ, 4 * granularity, 0, ERROR_ACCESS_DENIED},
      {"offset far past the end", FILE_MAP_READ, 0xFFFFFFFF00000000ull, 100, ERROR_ACCESS_DENIED},
      {"length past the end", FILE_MAP_READ, granularity, size - granularity + 1, ERROR_ACCESS_DENIED},
      {"write access", 0x0002, 0, 10, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    Host().SetLastError(0);
    EXPECT_EQ(Host().MapViewOfFile(mapping, c.access, static_cast<DWORD>(c.offset >> 32),
                                   static_cast<DWORD>(c.offset), c.length),
              nullptr)
        << c.what;
    EXPECT_EQ(Host().GetLastError(), c.error) << c.what;
  }
  EXPECT_TRUE(Host().CloseHandle(mapping));
  EXPECT_EQ(Host().MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0), nullptr);
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(FileMapping, MappingSizes) {
  ScratchDir directory;
  std::string path = directory.File("data.bin");
  WriteFileText(path, Pattern());
  std::string empty = directory.File("empty.bin");
  WriteFileText(empty, "");

  EXPECT_EQ(MapWhole(empty), nullptr);
  EXPECT_EQ(Host().GetLastError(), ERROR_FILE_INVALID);
  EXPECT_EQ(MapWhole(path, 0, static_cast<DWORD>(Pattern().size() + 1)), nullptr);
  EXPECT_EQ(Host().GetLastError(), ERROR_ACCESS_DENIED);

  // A mapping smaller than the file ends where it was asked to.
  HANDLE small = MapWhole(path, 0, granularity + 10);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(Host().MapViewOfFile(small, FILE_MAP_READ, 0, 2 * granularity, 0), nullptr);
  EXPECT_EQ(Host().GetLastError(), ERROR_ACCESS_DENIED);
  const void* view = Host().MapViewOfFile(small, FILE_MAP_READ, 0, granularity, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(Host().UnmapViewOfFile(view));
  EXPECT_TRUE(Host().CloseHandle(small));

  EXPECT_EQ(Host().CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 4096, nullptr), nullptr);
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_HANDLE);
  // A file opened for writing only gives no read-only mapping.
  HANDLE writer = Host().CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Host().CreateFileMappingA(writer, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(Host().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Host().CloseHandle(writer));
}
