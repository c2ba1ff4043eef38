// seendirs.h: what identifies each directory that a scan saw, and each one
// that the run made, by its path below the tree's root.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

/// What identifies a directory while it exists: its device and inode.
struct DirId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

/// The directories a scan saw, the root ("") included: their paths, each
/// ended by '\0', in blocks that never move, and one record of 24 bytes
/// each.  Nothing grows by copying, so the scan's peak holds each once.
struct SeenDirs {
  struct Entry {
    DirId id;
    std::uint32_t block = 0;   // the block that holds its path
    std::uint32_t offset = 0;  // where in the block its path begins
  };
  std::vector<std::unique_ptr<char[]>> blocks;
  std::size_t used = 0;      // bytes taken in the last block
  std::size_t capacity = 0;  // bytes of the last block
  std::deque<Entry> entries;  // sorted by path once the scan is done
};

/// The directories a run made, by their path below the root; one lock,
/// as the copies' workers make them and look them up at once.
struct MadeDirIds {
  std::mutex lock;
  std::unordered_map<std::string, DirId> ids;
};

/// Adds directory `path`, of identity `id`, to `dirs` as the scan meets it.
void add_seen_dir(SeenDirs& dirs, std::string_view path, DirId id);
/// Sorts `dirs` for lookups; called once the scan is done.
void sort_seen_dirs(SeenDirs& dirs);
/// The identity the scan saw at `path`; false where it saw none.
bool find_seen_dir(const SeenDirs& dirs, std::string_view path, DirId& id);
/// The path of `entry` of `dirs`.
std::string_view seen_path(const SeenDirs& dirs, const SeenDirs::Entry& entry);
/// Notes that the run made directory `path` with identity `id`.
void note_made_dir(MadeDirIds& made, const std::string& path, DirId id);
/// The identity of the directory the run made last at `path`; false where
/// it made none.
bool find_made_dir(MadeDirIds& made, const std::string& path, DirId& id);
