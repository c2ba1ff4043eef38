// compare.h: scans a directory tree into file times and compares two trees.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

/// A file's path relative to its tree's root -> its mtime in whole seconds.
using FileTimeMap = std::unordered_map<std::string, std::int64_t>;

/// How a file of one tree stands to its counterpart in the other.
enum DiffKind : std::int32_t {
  LeftNewer = 1,     // in both trees, the left one is later
  RightNewer = 2,    // in both trees, the right one is later
  MissingLeft = 3,   // only in the right tree
  MissingRight = 4,  // only in the left tree
};

/// One file that differs or exists on one side only.
struct DiffEntry {
  std::string relative_path;  // the key shared by both maps
  std::int32_t kind;          // a DiffKind
};

/// The whole outcome of one comparison.
struct CompareResult {
  std::vector<DiffEntry> entries;         // MissingLeft entries come last
  std::uint64_t left_total = 0;           // keys in the left map
  std::uint64_t right_total = 0;          // keys in the right map
  std::uint64_t same_count = 0;           // keys in both, equal times
  std::uint64_t different_count = 0;      // keys in both, different times
  std::uint64_t missing_left_count = 0;   // MissingLeft entries
  std::uint64_t missing_right_count = 0;  // MissingRight entries
};

/// Mtime of `path` in whole seconds, links followed; exits if stat fails.
std::int64_t get_file_time_sec(const std::string& path);
/// Every regular file below `root`, keyed relative to it; exits on failure.
FileTimeMap scan_directory(const std::string& root);
/// Pairs `left` with `right` by key: the differing and one-sided files, in
/// the tables' order (left's first, then right's one-sided ones).
CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right);
/// The same, moving each listed key out of its table instead of copying it;
/// the tables keep the files that are the same on both sides.
CompareResult compare_dirs(FileTimeMap&& left, FileTimeMap&& right);
