// seendirs.h: what identifies each directory that a scan saw, and each one
// that the run made, by its path below the tree's root.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

/// What identifies a directory while it exists: its device and inode.
struct DirId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

/// The directories a scan saw, the root ("") included: 24 bytes each, its
/// identity and a keyed hash of its path, which no one can aim at another
/// path's without the run's key.  Two paths of one hash (by chance, one in
/// 2^64 per pair) make the later one's actions fail, never pass.
struct SeenDirs {
  struct Entry {
    std::uint64_t hash = 0;
    DirId id;
  };
  std::deque<Entry> entries;  // sorted by hash once the scan is done
};

/// The directories a run made, by their path below the root; one lock,
/// as the copies' workers make them and look them up at once.
struct MadeDirIds {
  std::mutex lock;
  std::atomic<bool> any{false};  // looked at without the lock
  std::unordered_map<std::string, DirId> ids;
};

/// Directories of a tree checked against its scan and held open, by their
/// path below the root, so that the actions after reach them without a
/// second look; a few, those nearest the root, under one lock.
struct CheckedDirs {
  struct Dir {
    int fd = -1;           // the directory, O_PATH
    struct stat st {};     // its status when checked
    bool seen = false;     // the scan saw it (else the run made it)
  };
  std::shared_mutex lock;  // shared while they are looked up
  std::unordered_map<std::string, Dir> dirs;
};

/// Adds directory `path`, of identity `id`, to `dirs` as the scan meets it.
void add_seen_dir(SeenDirs& dirs, std::string_view path, DirId id);
/// Sorts `dirs` for lookups; called once the scan is done.
void sort_seen_dirs(SeenDirs& dirs);
/// The identity the scan saw at `path`; false where it saw none.
bool find_seen_dir(const SeenDirs& dirs, std::string_view path, DirId& id);
/// Notes that the run made directory `path` with identity `id`.
void note_made_dir(MadeDirIds& made, const std::string& path, DirId id);
/// The identity of the directory the run made last at `path`; false where
/// it made none.
bool find_made_dir(MadeDirIds& made, const std::string& path, DirId& id);
