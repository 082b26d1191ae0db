#include "support/scratch_dir.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

#include <gtest/gtest.h>

ScratchDir::ScratchDir() {
  std::error_code error;
  std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  std::string pattern = ((error ? std::filesystem::path("/tmp") : temporary) / "pxq-test-XXXXXX").string();
  // Without a directory of its own a test would write elsewhere, and the
  // destructor would remove whatever is there: stop at once instead.
  if (mkdtemp(pattern.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  // Tests leave files and directories read-only; they must not outlive the
  // test. Links are skipped: changing a link's mode changes its target's,
  // which may lie outside the directory.
  std::filesystem::recursive_directory_iterator item(path, error), end;
  for (; !error && item != end; item.increment(error)) {
    std::error_code ignored;
    if (item->is_symlink(ignored)) continue;
    std::filesystem::permissions(item->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  error.clear();
  std::filesystem::remove_all(path, error);
  if (error) ADD_FAILURE() << "could not remove " << path << ": " << error.message();
}
