// seendirs.cpp: the identities of directories seen or made.
//
// A scan of half a million files meets tens of thousands of directories;
// each costs its path and one small record, kept in blocks that are filled
// once and never copied, and sorted once for a binary search.

#include "seendirs.h"

#include <algorithm>
#include <cstring>

namespace {

// Bytes of one block of paths; a longer path gets a block of its own.
constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

std::string_view seen_path(const SeenDirs& dirs,
                           const SeenDirs::Entry& entry) {
  return std::string_view(dirs.blocks[entry.block].get() + entry.offset);
}

void add_seen_dir(SeenDirs& dirs, std::string_view path, DirId id) {
  if (dirs.blocks.empty() || dirs.used + path.size() + 1 > dirs.capacity) {
    dirs.capacity = std::max(kBlockSize, path.size() + 1);
    dirs.blocks.push_back(std::make_unique<char[]>(dirs.capacity));
    dirs.used = 0;
  }
  char* at = dirs.blocks.back().get() + dirs.used;
  std::memcpy(at, path.data(), path.size());
  at[path.size()] = '\0';
  SeenDirs::Entry entry;
  entry.id = id;
  entry.block = static_cast<std::uint32_t>(dirs.blocks.size() - 1);
  entry.offset = static_cast<std::uint32_t>(dirs.used);
  dirs.entries.push_back(entry);
  dirs.used += path.size() + 1;
}

void sort_seen_dirs(SeenDirs& dirs) {
  std::sort(dirs.entries.begin(), dirs.entries.end(),
            [&](const SeenDirs::Entry& a, const SeenDirs::Entry& b) {
              return seen_path(dirs, a) < seen_path(dirs, b);
            });
}

bool find_seen_dir(const SeenDirs& dirs, std::string_view path, DirId& id) {
  auto found = std::lower_bound(
      dirs.entries.begin(), dirs.entries.end(), path,
      [&](const SeenDirs::Entry& entry, std::string_view wanted) {
        return seen_path(dirs, entry) < wanted;
      });
  if (found == dirs.entries.end() || seen_path(dirs, *found) != path) {
    return false;
  }
  id = found->id;
  return true;
}

void note_made_dir(MadeDirIds& made, const std::string& path, DirId id) {
  std::lock_guard<std::mutex> hold(made.lock);
  made.ids[path] = id;
}

bool find_made_dir(MadeDirIds& made, const std::string& path, DirId& id) {
  std::lock_guard<std::mutex> hold(made.lock);
  if (made.ids.empty()) return false;
  auto found = made.ids.find(path);
  if (found == made.ids.end()) return false;
  id = found->second;
  return true;
}
