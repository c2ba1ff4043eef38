// compare.cpp: the comparison of two scanned tables.

#include "compare.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "fskind.h"

// Brings the bytes of `key` into the cache.
static void prefetch_bytes(std::string_view key) {
  for (std::size_t at = 0; at < key.size(); at += kCacheLine) {
    __builtin_prefetch(key.data() + at);
  }
}

// Removes the file at `it` from `files` and hands its key over, still in
// the table's storage.
static std::pmr::string take_key(FileTimeMap& files,
                                 FileTimeMap::const_iterator it) {
  return std::move(files.extract(it).key());
}

// Puts the entry at `from` into the slot `to`, whose entry has been moved
// out: built anew there, its key keeps its own table's storage (an
// assignment would copy a key of the other table into the slot's).
static void relocate(DiffEntry& to, DiffEntry& from) {
  std::destroy_at(&to);
  std::construct_at(&to, std::move(from));
}

// Sorts `entries` within each pass by key, byte by byte (as unsigned bytes,
// as std::string_view compares them): the left pass is the first
// `left_pass` entries.  A key is unique within a pass, so the order is total.
// The order is sorted as indices, then the entries are moved along its
// cycles in place, each once: the listing is never held twice.
static void sort_passes(std::vector<DiffEntry>& entries,
                        std::size_t left_pass) {
  std::vector<std::uint32_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    order[i] = static_cast<std::uint32_t>(i);
  }
  auto by_key = [&entries](std::uint32_t a, std::uint32_t b) {
    return std::string_view(entries[a].relative_path) <
           std::string_view(entries[b].relative_path);
  };
  std::sort(order.begin(), order.begin() + left_pass, by_key);
  std::sort(order.begin() + left_pass, order.end(), by_key);
  // order[i] names the entry that belongs at i; a slot filled points at
  // itself.
  for (std::size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    DiffEntry held(std::move(entries[start]));
    std::size_t at = start;
    while (order[at] != start) {
      std::size_t from = order[at];
      relocate(entries[at], entries[from]);
      order[at] = static_cast<std::uint32_t>(at);
      at = from;
    }
    relocate(entries[at], held);
    order[at] = static_cast<std::uint32_t>(at);
  }
}

CompareResult compare_dirs(FileTimeMap&& left, FileTimeMap&& right,
                           std::int64_t slack) {
  CompareResult result;
  result.left_total = left.size();
  result.right_total = right.size();
  // Room for every file that could be listed: only the part used takes
  // memory, and the entries are never copied to a larger array, which for a
  // moment would hold them twice.
  try {
    result.entries.reserve(left.size() + right.size());
  } catch (const std::bad_alloc&) {
    // Then the array grows as it fills.
  }
  // A listed key leaves its table for the entry.  A key found on both sides
  // leaves the right table at once, so that what remains there is found on
  // the right only, still in the table's own order, and needs no lookup.
  // The lookups are touched a batch ahead; the walk to the next batch goes
  // on while this one is compared, and brings the keys it passes into the
  // cache for the touch.
  auto ahead = left.begin();
  std::string_view next[kTouchBatch];
  std::size_t gathered = 0;  // keys in `next`
  std::size_t pending = 0;   // touched keys not yet compared
  for (auto it = left.begin(); it != left.end();) {
    if (pending == 0) {
      for (; gathered < kTouchBatch && ahead != left.end(); ++ahead) {
        next[gathered++] = ahead->first;
      }
      touch_buckets(right, next, gathered);
      pending = gathered;
      gathered = 0;
    }
    if (ahead != left.end()) {
      next[gathered++] = ahead->first;
      prefetch_bytes(ahead->first);
      ++ahead;
    }
    --pending;
    auto found = right.find(it->first);
    if (found == right.end()) {
      FileStamp stamp = it->second;
      result.entries.push_back(
          {take_key(left, it++), MissingRight, stamp.seconds, stamp.inode, 0});
      ++result.missing_right_count;
      continue;
    }
    if (times_match(it->second, found->second, slack)) {
      ++result.same_count;
      right.erase(found);
    } else {
      DiffKind kind = it->second > found->second ? LeftNewer : RightNewer;
      std::uint64_t right_inode = found->second.inode;
      result.entries.push_back({take_key(right, found), kind, 0,
                                it->second.inode, right_inode});
      ++result.different_count;
    }
    ++it;
  }
  std::size_t left_pass = result.entries.size();
  for (auto it = right.begin(); it != right.end();) {
    FileStamp stamp = it->second;
    result.entries.push_back(
        {take_key(right, it++), MissingLeft, stamp.seconds, 0, stamp.inode});
    ++result.missing_left_count;
  }
  sort_passes(result.entries, left_pass);
  return result;
}
