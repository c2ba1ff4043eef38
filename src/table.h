// table.h: the table a scan fills, a file's relative path -> its time, and
// the storage that holds its nodes and keys.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>

#if defined(__GLIBCXX__) && _GLIBCXX_RELEASE <= 12
// This library keeps each key's hash in the table's node only for hashes it
// deems slow, as it does that of a string, but it forgot the string that
// takes an allocator: then growing the table hashes every key again.
template <>
struct std::__is_fast_hash<std::hash<std::pmr::string>> : std::false_type {};
#endif

/// What the scan saw of one file: its mtime in whole seconds, and its inode,
/// by which an action later knows that a name still leads to that file (0:
/// not known).  Two stamps are equal where their times are: the inode tells
/// which file, not what the table says of it.
struct FileStamp {
  std::int64_t seconds = 0;
  std::uint64_t inode = 0;
  FileStamp(std::int64_t seconds = 0, std::uint64_t inode = 0)  // NOLINT
      : seconds(seconds), inode(inode) {}
  operator std::int64_t() const { return seconds; }  // NOLINT
};

/// A file's path relative to its tree's root -> what the scan saw of it.
/// A scanned table keeps its nodes and keys in a storage of its own.
using FileTimeMap = std::pmr::unordered_map<std::pmr::string, FileStamp>;
/// Where a scanned table keeps its nodes and keys, released as one block.
using TableStorage = std::unique_ptr<std::pmr::memory_resource>;

/// The size of a cache line; a node that fills one starts on one.
constexpr std::size_t kCacheLine = 64;
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
/// Records `key` with `seconds` and `inode` in `files`, whose allocator
/// builds the key once in place; a key already there takes the new stamp.
void record_time(FileTimeMap& files, std::string_view key,
                 std::int64_t seconds, std::uint64_t inode = 0);
