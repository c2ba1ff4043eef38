// test_util.h: temporary trees for the tests, and the forms of the
// program's functions that only the tests take.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "beneath.h"
#include "compare.h"

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
/// Whether a directory named `name` is one the scan passes over, by the
/// list the user is told.
bool is_excluded_name(const std::string& name);
/// `root` with each `@` replaced by `base`.
std::string with_base(const std::string& root, const std::string& base);
/// compare_dirs on copies of `left` and `right`, which keep their order.
CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right,
                           std::int64_t slack = 0);
/// sync_different_files for two roots opened here.
bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& left_root,
                          const std::string& right_root);
/// handle_missing for two roots opened here.
bool handle_missing(const std::vector<DiffEntry>& entries,
                    const std::string& left_root, const std::string& right_root,
                    char missing_action);
/// Removes `directory` (below the root of `tree`) and its ancestors while
/// they are empty, never the root itself, as a deletion's walk does; false
/// if a step failed.
bool remove_empty_parents(const Tree& tree, std::string directory);
/// `text` with every character that is special in an extended regular
/// expression preceded by a backslash.
std::string regex_escape(const std::string& text);
