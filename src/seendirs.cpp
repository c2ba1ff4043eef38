// seendirs.cpp: the identities of directories seen or made.
//
// A scan of half a million files meets tens of thousands of directories;
// each costs its path and one small record, kept in two flat blocks rather
// than one node per directory, and sorted once for a binary search.

#include "seendirs.h"

#include <algorithm>

// The path of `entry` in `dirs`.
static std::string_view path_of(const SeenDirs& dirs,
                                const SeenDirs::Entry& entry) {
  return std::string_view(dirs.paths).substr(entry.offset, entry.length);
}

void add_seen_dir(SeenDirs& dirs, std::string_view path, DirId id) {
  SeenDirs::Entry entry;
  entry.id = id;
  entry.offset = static_cast<std::uint32_t>(dirs.paths.size());
  entry.length = static_cast<std::uint32_t>(path.size());
  dirs.paths.append(path);
  dirs.paths += '\0';
  dirs.entries.push_back(entry);
}

void sort_seen_dirs(SeenDirs& dirs) {
  std::sort(dirs.entries.begin(), dirs.entries.end(),
            [&](const SeenDirs::Entry& a, const SeenDirs::Entry& b) {
              return path_of(dirs, a) < path_of(dirs, b);
            });
  // Not shrunk: that would copy both blocks while the scan's tables are
  // at their largest, and the pages never written are not held anyway.
}

bool find_seen_dir(const SeenDirs& dirs, std::string_view path, DirId& id) {
  auto found = std::lower_bound(
      dirs.entries.begin(), dirs.entries.end(), path,
      [&](const SeenDirs::Entry& entry, std::string_view wanted) {
        return path_of(dirs, entry) < wanted;
      });
  if (found == dirs.entries.end() || path_of(dirs, *found) != path) {
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
