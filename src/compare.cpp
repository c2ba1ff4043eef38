// compare.cpp: the storage of the tables and the comparison of two of them.

#include "compare.h"

#include <algorithm>
#include <new>
#include <utility>

#include "fskind.h"

namespace {

// Pieces of this size or more are bucket arrays (or keys longer than any
// path a system takes whole): they come from the heap and go back to it.
constexpr std::size_t kLargePiece = 64 * 1024;
// The size of a cache line.
constexpr std::size_t kLine = 64;

// Small pieces from large blocks, freed all at once; large ones from the
// heap, freed one by one.  Keys (pieces of characters) lie apart from the
// nodes: packed without gaps, and leaving the nodes close together, which
// growing the table and looking keys up go through.  A node that fills a
// cache line starts on one.
class BlockStorage : public std::pmr::memory_resource {
 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (bytes >= kLargePiece) {
      return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    if (alignment == 1) return keys_.allocate(bytes, 1);
    if (bytes % kLine == 0) alignment = std::max(alignment, kLine);
    return nodes_.allocate(bytes, alignment);
  }
  void do_deallocate(void* piece, std::size_t bytes,
                     std::size_t alignment) override {
    if (bytes >= kLargePiece) {
      std::pmr::new_delete_resource()->deallocate(piece, bytes, alignment);
    }
  }
  bool do_is_equal(const memory_resource& other) const noexcept override {
    return this == &other;
  }

  std::pmr::monotonic_buffer_resource keys_{1 << 20};
  std::pmr::monotonic_buffer_resource nodes_{1 << 20};
};

}  // namespace

TableStorage new_table_storage() { return std::make_unique<BlockStorage>(); }

void touch_buckets(const FileTimeMap& files, const std::string_view* keys,
                   std::size_t count) {
  // The bucket as the table computes it; were it another, the lookups would
  // only be slower.
  std::size_t bucket[kTouchBatch];
  for (std::size_t i = 0; i < count; ++i) {
    bucket[i] = std::hash<std::string_view>{}(keys[i]) % files.bucket_count();
  }
  for (std::size_t i = 0; i < count; ++i) {
    // The first node of the bucket, on one cache line (see the storage).
    auto first = files.begin(bucket[i]);
    if (first != files.end(bucket[i])) __builtin_prefetch(&*first);
  }
}

void record_time(FileTimeMap& files, std::string_view key,
                 std::int64_t seconds) {
  files.insert_or_assign(std::pmr::string(key, files.get_allocator()), seconds);
}

// Brings the bytes of `key` into the cache.
static void prefetch_bytes(std::string_view key) {
  for (std::size_t at = 0; at < key.size(); at += kLine) {
    __builtin_prefetch(key.data() + at);
  }
}

// Removes the file at `it` from `files` and hands its key over, still in
// the table's storage.
static std::pmr::string take_key(FileTimeMap& files,
                                 FileTimeMap::const_iterator it) {
  return std::move(files.extract(it).key());
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
      std::int64_t seconds = it->second;
      result.entries.push_back({take_key(left, it++), MissingRight, seconds});
      ++result.missing_right_count;
      continue;
    }
    if (times_match(it->second, found->second, slack)) {
      ++result.same_count;
      right.erase(found);
    } else {
      DiffKind kind = it->second > found->second ? LeftNewer : RightNewer;
      result.entries.push_back({take_key(right, found), kind});
      ++result.different_count;
    }
    ++it;
  }
  for (auto it = right.begin(); it != right.end();) {
    std::int64_t seconds = it->second;
    result.entries.push_back({take_key(right, it++), MissingLeft, seconds});
    ++result.missing_left_count;
  }
  return result;
}

CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right,
                           std::int64_t slack) {
  // A copy keeps the original's order, so both forms list alike.
  return compare_dirs(FileTimeMap(left), FileTimeMap(right), slack);
}
