// sync.cpp: the plan of the synchronisation: which file is updated, copied
// or deleted, and which emptied directories go.
//
// Every change goes through directories opened beneath the two roots (see
// beneath.h), copies through the durable batches of copy.h.  Files are
// removed with unlinkat, emptied directories with unlinkat(AT_REMOVEDIR).  A
// one-sided file is deleted only while it is still the regular file with
// the time the scan saw.

#include "sync.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include "copy.h"
#include "path.h"

namespace {

const char kChangedSinceScan[] = "Datei wurde seit dem Vergleich geändert";

}  // namespace

bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const Tree& left, const Tree& right) {
  install_interrupt_handlers();
  Batch batch;
  bool ok = true;
  for (const DiffEntry& entry : entries) {
    const std::string path(entry.relative_path);
    if (entry.kind == LeftNewer) {
      ok = queue_copy(batch, left, right, path, false) && ok;
    } else if (entry.kind == RightNewer) {
      ok = queue_copy(batch, right, left, path, false) && ok;
    }
  }
  return finish_batch(batch) && ok;
}

bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& left_root,
                          const std::string& right_root) {
  Tree left = open_tree(left_root);
  Tree right = open_tree(right_root);
  bool ok = sync_different_files(entries, left, right);
  close_tree(left);
  close_tree(right);
  return ok;
}

// Whether directory `path_fd` holds no entry at all; -1 with errno set if
// it cannot be read.
static int is_empty_dir(int path_fd) {
  int fd = openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  alignas(dirent64) char buffer[4096];
  long n;
  int empty = 1;
  while (empty == 1 && (n = getdents64(fd, buffer, sizeof buffer)) > 0) {
    for (long pos = 0; pos < n && empty == 1;) {
      auto* entry = reinterpret_cast<const dirent64*>(buffer + pos);
      pos += entry->d_reclen;
      if (!is_dot_or_dot_dot(entry->d_name)) empty = 0;
    }
  }
  if (empty == 1 && n < 0) empty = -1;
  int error = errno;
  close(fd);
  errno = error;
  return empty;
}

// Removes `directory` if it is empty: 1 removed, 0 left (not there or not
// empty), -1 failed and reported.
static int remove_if_empty(const Tree& tree, const std::string& directory) {
  std::string shown = full_path(tree.root, directory);
  int fd = open_beneath(tree, directory);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    return failed("Prüfen von", shown, errno), -1;
  }
  int empty = is_empty_dir(fd);
  int error = errno;
  close(fd);
  if (empty < 0) return failed("Prüfen von", shown, error), -1;
  if (empty == 0) return 0;
  int parent_fd = open_beneath(tree, parent_of(directory));
  if (parent_fd < 0) return failed("Löschen von", shown, errno), -1;
  int removed = unlinkat(parent_fd, name_of(directory).c_str(), AT_REMOVEDIR);
  error = errno;
  close(parent_fd);
  if (removed != 0) return failed("Löschen von", shown, error), -1;
  say("Ordner " + quoted_path(shown, 1) + " wurde entfernt\n");
  return 1;
}

bool remove_empty_parents(const Tree& tree, std::string directory) {
  while (!directory.empty()) {
    int removed = remove_if_empty(tree, directory);
    if (removed <= 0) return removed == 0;
    directory = parent_of(directory);
  }
  return true;
}

// Whether what stands at `name` in `dir_fd` is no longer the regular file
// that the scan saw with the time `seconds`; a file that is gone is not.
static bool changed_since_scan(int dir_fd, const std::string& name,
                               std::int64_t seconds) {
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;  // the deletion reports what stands in its way
  }
  return !S_ISREG(st.st_mode) || st.st_mtim.tv_sec != seconds;
}

// Deletes a one-sided file, if it is still what the scan saw with the time
// `seconds`, and prunes the directories it leaves empty.
static bool delete_one_sided(const Tree& tree, const std::string& relative_path,
                             std::int64_t seconds) {
  std::string path = full_path(tree.root, relative_path);
  std::string parent = parent_of(relative_path);
  int dir_fd = open_beneath(tree, parent);
  int error = dir_fd < 0 ? errno : 0;
  if (dir_fd >= 0) {
    std::string name = name_of(relative_path);
    if (changed_since_scan(dir_fd, name, seconds)) {
      close(dir_fd);
      report_error("Fehler beim Löschen von " + quoted_path(path, 2) + ": " +
                   kChangedSinceScan + "\n");
      return false;  // the file stays, and so do the directories above it
    }
    if (unlinkat(dir_fd, name.c_str(), 0) != 0) error = errno;
    close(dir_fd);
  }
  bool ok = error == 0 || error == ENOENT;
  if (ok) {
    say("'" + shown_path(path, 1) + "' wurde entfernt\n");
  } else {
    failed("Löschen von", path, error);
  }
  // A path through a link is left alone, its directories too.
  if (is_refused_path(error)) return false;
  return remove_empty_parents(tree, parent) && ok;
}

// Puts the deletions and removed directories of `tree` on stable storage;
// false after a reported failure.  Where the root cannot be read, every
// file system is synchronised.
static bool make_tree_durable(const Tree& tree) {
  if (tree.fd < 0) return true;
  int fd = openat(tree.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int error = fd < 0 || syncfs(fd) == 0 ? 0 : errno;
  if (fd < 0 || error == ENOSYS) {
    sync();
    error = 0;
  }
  if (fd >= 0) close(fd);
  if (error != 0) return failed("Löschen in", tree.root, error);
  return true;
}

bool handle_missing(const std::vector<DiffEntry>& entries, const Tree& left,
                    const Tree& right, char missing_action) {
  char action = static_cast<char>(
      std::tolower(static_cast<unsigned char>(missing_action)));
  if (action != 'l' && action != 'r' && action != 'b') return true;
  install_interrupt_handlers();
  Batch batch;
  bool ok = true;
  for (const DiffEntry& entry : entries) {
    const std::string path(entry.relative_path);
    // A deletion and its pruning meet the trees as the copies before it
    // left them.
    if ((entry.kind == MissingRight && action == 'l') ||
        (entry.kind == MissingLeft && action == 'r')) {
      wait_for_copies(batch);
    }
    if (entry.kind == MissingRight) {
      ok = (action == 'l' ? delete_one_sided(left, path, entry.seconds)
                          : queue_copy(batch, left, right, path, true)) &&
           ok;
    } else if (entry.kind == MissingLeft) {
      ok = (action == 'r' ? delete_one_sided(right, path, entry.seconds)
                          : queue_copy(batch, right, left, path, true)) &&
           ok;
    }
  }
  ok = finish_batch(batch) && ok;
  if (action == 'l') ok = make_tree_durable(left) && ok;
  if (action == 'r') ok = make_tree_durable(right) && ok;
  return ok;
}

bool handle_missing(const std::vector<DiffEntry>& entries,
                    const std::string& left_root, const std::string& right_root,
                    char missing_action) {
  Tree left = open_tree(left_root);
  Tree right = open_tree(right_root);
  bool ok = handle_missing(entries, left, right, missing_action);
  close_tree(left);
  close_tree(right);
  return ok;
}
