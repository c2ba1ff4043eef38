// table.cpp: the storage of the scanned tables, and recording and looking
// up their keys.

#include "table.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace {

// Pieces of this size or more are bucket arrays (or keys longer than any
// path a system takes whole): they come from the heap and go back to it.
constexpr std::size_t kLargePiece = 64 * 1024;

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
    if (bytes % kCacheLine == 0) alignment = std::max(alignment, kCacheLine);
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
                 std::int64_t seconds, std::uint64_t inode) {
  files.insert_or_assign(std::pmr::string(key, files.get_allocator()),
                         FileStamp(seconds, inode));
}
