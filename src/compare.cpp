// compare.cpp: the scan of one tree and the comparison of two.
//
// The scan walks the tree depth-first and holds one open directory per level
// of the descent, reading its entries with getdents64 and taking their types
// from the listing.  A regular file costs one fstatat relative to its open
// directory.  Its key is its chain of names below the root: the walk never
// descends through a symbolic link, so resolving the file's path would give
// the resolved root followed by those same names.  Only a symbolic link needs
// the full rule: its path is resolved weakly-canonically and made lexically
// relative to the resolved root.  A link that leads out of the tree is not
// recorded, so no key ever names a file outside its tree.

#include "compare.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "path.h"

namespace fs = std::filesystem;

namespace {

// Directories that are never descended into, matched byte for byte.
const char* const kExcludedDirNames[] = {"lost+found", "$RECYCLE.BIN",
                                         "System Volume Information",
                                         "Recovery", "RECYCLER"};

constexpr std::size_t kListingBufferSize = 32 * 1024;

// One open directory of the descent, with its unread part of the listing.
struct Level {
  int fd = -1;
  std::size_t prefix = 0;  // length of the directory's path below the root
  std::unique_ptr<char[]> buffer;
  long pos = 0;
  long end = 0;
};

// The state of one scan.
struct Walk {
  std::string root;           // as given
  std::string rel;            // path below the root of the current entry
  std::vector<Level> levels;  // the open directories, root first
  std::optional<fs::path> resolved_root;  // computed on first need
  FileTimeMap files;
  ScanCounter* found = nullptr;  // follows the number of files recorded
  std::string failure;  // the message of the first failure; ends the walk
};

}  // namespace

static bool is_excluded(const char* name) {
  for (const char* excluded : kExcludedDirNames) {
    if (std::strcmp(name, excluded) == 0) return true;
  }
  return false;
}

// The entry's path as walked: the root joined with its names below it.
static std::string walked_path(const Walk& walk) {
  return full_path(walk.root, walk.rel);
}

static std::string open_failure(const std::string& root, int error) {
  return "FEHLER beim Durchsuchen des Verzeichnisses: '" + shown_path(root, 2) +
         "' (" + std::strerror(error) + ")\n\n";
}

static std::string access_failure(const std::string& path, int error) {
  return "FEHLER: Zugriff verweigert bei " + quoted_path(path, 2) + " (" +
         std::strerror(error) + ")\n\n";
}

static std::string time_failure(const std::string& path) {
  return "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: " +
         quoted_path(path, 2) + "\n";
}

// Records the walk's first failure; the walk then ends.
static void fail_access(Walk& walk, int error) {
  walk.failure = access_failure(walked_path(walk), error);
}

std::int64_t get_file_time_sec(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) fatal(time_failure(path));
  return st.st_mtim.tv_sec;
}

static void push_level(Walk& walk, int fd) {
  Level level;
  level.fd = fd;
  level.prefix = walk.rel.size();
  level.buffer = std::make_unique<char[]>(kListingBufferSize);
  walk.levels.push_back(std::move(level));
}

static void pop_level(Walk& walk) {
  close(walk.levels.back().fd);
  walk.levels.pop_back();
  if (walk.found)
    walk.found->store(walk.files.size(), std::memory_order_relaxed);
}

// The next entry of the innermost directory, or nullptr at its end.
// `first` marks the first read of the root, whose failure is an opening one.
static const dirent64* next_entry(Walk& walk, bool first) {
  Level& level = walk.levels.back();
  if (level.pos >= level.end) {
    long n = getdents64(level.fd, level.buffer.get(), kListingBufferSize);
    if (n < 0 && first) walk.failure = open_failure(walk.root, errno);
    if (n < 0 && !first) fail_access(walk, errno);
    if (n <= 0) return nullptr;
    level.pos = 0;
    level.end = n;
  }
  auto* entry =
      reinterpret_cast<const dirent64*>(level.buffer.get() + level.pos);
  level.pos += entry->d_reclen;
  return entry;
}

// Records a symbolic link to a regular file under its target's key, unless
// the target lies outside the tree.
static void record_link(Walk& walk, std::int64_t seconds) {
  std::string path = walked_path(walk);
  std::error_code error;
  if (!walk.resolved_root) {
    fs::path resolved = fs::weakly_canonical(walk.root, error);
    if (error) return fail_access(walk, error.value());
    walk.resolved_root = resolved;
  }
  fs::path target = fs::weakly_canonical(path, error);
  if (error) return fail_access(walk, error.value());
  fs::path key = target.lexically_relative(*walk.resolved_root);
  if (key.empty() || *key.begin() == "..") return;
  walk.files.insert_or_assign(key.string(), seconds);
}

// A symbolic link: passed over unless it leads to a regular file.
static void visit_link(Walk& walk, int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return;
    return fail_access(walk, errno);
  }
  if (S_ISREG(st.st_mode)) record_link(walk, st.st_mtim.tv_sec);
}

static void visit_file(Walk& walk, int dir_fd, const char* name) {
  if (is_temp_file_name(name)) return;
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      walk.failure = time_failure(walked_path(walk));
      return;
    }
    return fail_access(walk, errno);
  }
  walk.files.insert_or_assign(walk.rel, st.st_mtim.tv_sec);
}

static void visit_directory(Walk& walk, int dir_fd, const char* name) {
  if (is_excluded(name)) return;
  int fd =
      openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return fail_access(walk, errno);
  push_level(walk, fd);
}

// The type of an entry the listing gave none for, links not followed.
static unsigned char query_type(Walk& walk, int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return DT_UNKNOWN;
    fail_access(walk, errno);
    return DT_UNKNOWN;
  }
  if (S_ISLNK(st.st_mode)) return DT_LNK;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  return DT_UNKNOWN;
}

static void visit(Walk& walk, const dirent64& entry) {
  const char* name = entry.d_name;
  int dir_fd = walk.levels.back().fd;
  walk.rel.resize(walk.levels.back().prefix);
  if (!walk.rel.empty()) walk.rel += '/';
  walk.rel += name;
  unsigned char type = entry.d_type;
  if (type == DT_UNKNOWN) type = query_type(walk, dir_fd, name);
  if (type == DT_DIR) visit_directory(walk, dir_fd, name);
  if (type == DT_REG) visit_file(walk, dir_fd, name);
  if (type == DT_LNK) visit_link(walk, dir_fd, name);
}

ScanResult scan_directory(const std::string& root, ScanCounter* found) {
  Walk walk;
  walk.root = root;
  walk.found = found;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {{}, open_failure(root, errno)};
  push_level(walk, fd);
  bool first = true;
  while (!walk.levels.empty() && walk.failure.empty()) {
    const dirent64* entry = next_entry(walk, first);
    first = false;
    if (entry == nullptr) {
      pop_level(walk);
    } else if (!is_dot_or_dot_dot(entry->d_name)) {
      visit(walk, *entry);
    }
  }
  while (!walk.levels.empty()) pop_level(walk);
  if (!walk.failure.empty()) return {{}, std::move(walk.failure)};
  return {std::move(walk.files), {}};
}

TreeScans scan_trees(const std::string& left_root,
                     const std::string& right_root, ScanCounter* left_found,
                     ScanCounter* right_found) {
  TreeScans scans;
  scans.left = scan_directory(left_root, left_found);
  if (scans.left.failure.empty()) {
    scans.right = scan_directory(right_root, right_found);
  }
  return scans;
}

// Removes the file at `it` from `files` and hands its key over.
static std::string take_key(FileTimeMap& files,
                            FileTimeMap::const_iterator it) {
  return std::move(files.extract(it).key());
}

CompareResult compare_dirs(FileTimeMap&& left, FileTimeMap&& right) {
  CompareResult result;
  result.left_total = left.size();
  result.right_total = right.size();
  // A listed key leaves its table for the entry; a differing key leaves only
  // the right table, so that the second loop still finds it on the left.
  for (auto it = left.begin(); it != left.end();) {
    auto found = right.find(it->first);
    if (found == right.end()) {
      std::int64_t seconds = it->second;
      result.entries.push_back({take_key(left, it++), MissingRight, seconds});
      ++result.missing_right_count;
      continue;
    }
    if (it->second == found->second) {
      ++result.same_count;
    } else {
      DiffKind kind = it->second > found->second ? LeftNewer : RightNewer;
      result.entries.push_back({take_key(right, found), kind});
      ++result.different_count;
    }
    ++it;
  }
  for (auto it = right.begin(); it != right.end();) {
    if (left.count(it->first) != 0) {
      ++it;
    } else {
      std::int64_t seconds = it->second;
      result.entries.push_back({take_key(right, it++), MissingLeft, seconds});
      ++result.missing_left_count;
    }
  }
  return result;
}

CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right) {
  // A copy keeps the original's order, so both forms list alike.
  return compare_dirs(FileTimeMap(left), FileTimeMap(right));
}
