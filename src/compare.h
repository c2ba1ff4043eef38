// compare.h: the comparison of two scanned trees' tables.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "table.h"

/// How a file of one tree stands to its counterpart in the other.
enum DiffKind : std::int32_t {
  LeftNewer = 1,     // in both trees, the left one is later
  RightNewer = 2,    // in both trees, the right one is later
  MissingLeft = 3,   // only in the right tree
  MissingRight = 4,  // only in the left tree
};

/// One file that differs or exists on one side only.
struct DiffEntry {
  std::pmr::string relative_path;  // the key shared by both maps
  std::int32_t kind;               // a DiffKind
  std::int64_t seconds = 0;  // one-sided: the scanned mtime in whole seconds
  std::uint64_t left_inode = 0;   // the scanned files' inodes, 0 where
  std::uint64_t right_inode = 0;  // there is none on that side
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

/// Pairs `left` with `right` by key: the differing and one-sided files, the
/// left pass first (differing and left-only files), then the right-only
/// files, each pass sorted by key byte by byte.  Two times
/// at most `slack` seconds apart count as equal.  Each listed key is moved
/// out of its table, not copied: the entries' keys stay in the tables'
/// storage, which must outlive them.  The left table keeps the files found
/// on both sides, the right table is left empty.
CompareResult compare_dirs(FileTimeMap&& left, FileTimeMap&& right,
                           std::int64_t slack = 0);
