// test_util.h: temporary trees for the tests.
#pragma once
#include <cstdint>
#include <string>

/// A directory made with mkdtemp, removed with all it holds when it goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

/// Writes `content` to `path` (parents created) and sets its mtime to
/// `seconds` plus `nanoseconds`.
void make_file(const std::string& path, std::int64_t seconds,
               long nanoseconds = 0, const std::string& content = "x");
