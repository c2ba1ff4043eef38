// test_util.h: temporary trees for the tests.
#pragma once
#include <cstdint>
#include <string>

/// A directory made with mkdtemp in `base`, or in the temporary directory
/// where `base` is empty or takes none; removed with all it holds when it
/// goes.
struct TempDir {
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

/// Makes `path` the working directory until it goes, then restores the old.
struct WorkingDir {
  explicit WorkingDir(const std::string& path);
  ~WorkingDir();
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;
  std::string previous;
};

/// Writes `content` to `path` (parents created) and sets its mtime to
/// `seconds` plus `nanoseconds`.
void make_file(const std::string& path, std::int64_t seconds,
               long nanoseconds = 0, const std::string& content = "x");
/// Creates the directory `path` with its missing parents.
void make_dir(const std::string& path);
/// Creates a symbolic link at `path` (parents created) holding `target`.
void make_link(const std::string& target, const std::string& path);
/// Creates a named pipe at `path` (parents created).
void make_fifo(const std::string& path);
/// Creates a Unix domain socket at `path` (parents created).
void make_socket(const std::string& path);
/// `root` with each `@` replaced by `base`.
std::string with_base(const std::string& root, const std::string& base);
/// `text` with every character that is special in an extended regular
/// expression preceded by a backslash.
std::string regex_escape(const std::string& text);
