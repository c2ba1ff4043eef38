// compare.h: scans a directory tree into file times and compares two trees.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(__GLIBCXX__) && _GLIBCXX_RELEASE <= 12
// This library keeps each key's hash in the table's node only for hashes it
// deems slow, as it does that of a string, but it forgot the string that
// takes an allocator: then growing the table hashes every key again.
template <>
struct std::__is_fast_hash<std::hash<std::pmr::string>> : std::false_type {};
#endif

/// A file's path relative to its tree's root -> its mtime in whole seconds.
/// A scanned table keeps its nodes and keys in a storage of its own.
using FileTimeMap = std::pmr::unordered_map<std::pmr::string, std::int64_t>;
/// Where a scanned table keeps its nodes and keys, released as one block.
using TableStorage = std::unique_ptr<std::pmr::memory_resource>;

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

/// What a scan gives: the table, or the message of its first failure.
struct ScanResult {
  TableStorage storage;  // holds the table's nodes and keys; outlives them
  FileTimeMap files;     // empty after a failure
  std::string failure;   // empty when the scan succeeded
};

/// The number of files a running scan has found so far, for a status line.
using ScanCounter = std::atomic<std::uint64_t>;

/// The scans of the two trees of a run.
struct TreeScans {
  ScanResult left;
  ScanResult right;
};

/// A storage for one table: small pieces from large blocks, never freed
/// one by one; the bucket arrays, which the table replaces as it grows, are
/// freed when replaced.
TableStorage new_table_storage();
/// The most keys `touch_buckets` takes at once.
constexpr std::size_t kTouchBatch = 16;
/// Brings what looking up each of `keys` in `files` reads first into the
/// cache, so that the misses of the lookups overlap; changes nothing.
void touch_buckets(const FileTimeMap& files, const std::string_view* keys,
                   std::size_t count);
/// Records `key` with `seconds` in `files`, whose allocator builds the key
/// once in place; a key already there takes the new time.
void record_time(FileTimeMap& files, std::string_view key,
                 std::int64_t seconds);
/// Mtime of `path` in whole seconds, links followed; exits if stat fails.
std::int64_t get_file_time_sec(const std::string& path);
/// Every regular file below `root`, keyed relative to it, or the message of
/// the first failure in the order of a depth-first walk.
ScanResult scan_directory(const std::string& root,
                          ScanCounter* found = nullptr);
/// Scans both trees at once; each counter, if given, follows its tree.  A
/// root with a handle held on it (`left_fd`, `right_fd`) is read through it.
TreeScans scan_trees(const std::string& left_root,
                     const std::string& right_root,
                     ScanCounter* left_found = nullptr,
                     ScanCounter* right_found = nullptr, int left_fd = -1,
                     int right_fd = -1);
/// Pairs `left` with `right` by key: the differing and one-sided files, in
/// the tables' order (left's first, then right's one-sided ones).  Two times
/// at most `slack` seconds apart count as equal.
CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right,
                           std::int64_t slack = 0);
/// The same, moving each listed key out of its table instead of copying it:
/// the entries' keys stay in the tables' storage, which must outlive them.
/// The left table keeps the files found on both sides, the right table is
/// left empty.
CompareResult compare_dirs(FileTimeMap&& left, FileTimeMap&& right,
                           std::int64_t slack = 0);
