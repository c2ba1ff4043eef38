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

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include "copy.h"
#include "path.h"

namespace {

const char kChangedSinceScan[] = "Datei wurde seit dem Vergleich geändert";
// One-sided files deleted at once, on the workers of the copies.
constexpr std::size_t kDeletionsAtOnce = 16;

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

// A one-sided file to delete, and what became of the attempt.
struct Deletion {
  const Tree* tree = nullptr;
  std::string relative_path;
  std::int64_t seconds = 0;  // its time, as the scan saw it
  bool changed = false;      // no longer what the scan saw: left alone
  int error = 0;             // errno of a failed deletion; 0 if it is gone
};

// Deletes the file of `deletion` if it is still the regular file with the
// time the scan saw; runs on a worker and reports nothing.
static void unlink_one_sided(Deletion& deletion) {
  const std::string& relative_path = deletion.relative_path;
  int dir_fd = open_beneath(*deletion.tree, parent_of(relative_path));
  if (dir_fd < 0) {
    deletion.error = errno;
    return;
  }
  std::string name = name_of(relative_path);
  deletion.changed = changed_since_scan(dir_fd, name, deletion.seconds);
  if (!deletion.changed && unlinkat(dir_fd, name.c_str(), 0) != 0) {
    deletion.error = errno;
  }
  close(dir_fd);
}

// Reports `deletion` and, with `prune`, removes the directories it left
// empty; false after a reported failure.
static bool finish_deletion(const Deletion& deletion, bool prune) {
  const Tree& tree = *deletion.tree;
  std::string path = full_path(tree.root, deletion.relative_path);
  if (deletion.changed) {
    report_error("Fehler beim Löschen von " + quoted_path(path, 2) + ": " +
                 kChangedSinceScan + "\n");
    return false;  // the file stays, and so do the directories above it
  }
  bool ok = deletion.error == 0 || deletion.error == ENOENT;
  if (ok) {
    std::string line(1, '\'');  // built in steps: GCC 12 warns of "'" + ...
    say(line.append(shown_path(path, 1)).append("' wurde entfernt\n"));
  } else {
    failed("Löschen von", path, deletion.error);
  }
  // A path through a link is left alone, its directories too.
  if (is_refused_path(deletion.error)) return false;
  if (!prune) return ok;
  return remove_empty_parents(tree, parent_of(deletion.relative_path)) && ok;
}

// Whether a deletion of `run` after the `i`th and before the `end`th lies
// in or below the directory of the `i`th: deleted one after the other, the
// `i`th would find its directory still holding that file and prune nothing.
static bool later_one_below(const std::vector<Deletion>& run, std::size_t i,
                            std::size_t end) {
  std::string parent = parent_of(run[i].relative_path) + "/";
  for (std::size_t j = i + 1; j < end; ++j) {
    if (run[j].tree == run[i].tree &&
        run[j].relative_path.compare(0, parent.size(), parent) == 0) {
      return true;
    }
  }
  return false;
}

// Deletes the one-sided files of `run` and prunes the directories they
// leave empty, with the outcome and the lines of deleting them one after the
// other: a part of them is deleted at once on the batch's workers, then each
// is reported and pruned in turn.  False after a reported failure.
static bool delete_one_sided(Batch& batch, std::vector<Deletion>& run) {
  bool ok = true;
  for (std::size_t start = 0; start < run.size(); start += kDeletionsAtOnce) {
    std::size_t end = std::min(run.size(), start + kDeletionsAtOnce);
    for (std::size_t i = start; i < end; ++i) {
      run_job(batch, [&deletion = run[i]] { unlink_one_sided(deletion); });
    }
    wait_for_copies(batch);
    for (std::size_t i = start; i < end; ++i) {
      ok = finish_deletion(run[i], !later_one_below(run, i, end)) && ok;
    }
  }
  run.clear();
  return ok;
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
                    const Tree& right, char missing_action,
                    CaseIndexes* cases) {
  char action = static_cast<char>(
      std::tolower(static_cast<unsigned char>(missing_action)));
  if (action != 'l' && action != 'r' && action != 'b') return true;
  install_interrupt_handlers();
  Batch batch;
  std::vector<Deletion> run;  // deletions next to each other in the list
  bool ok = true;
  for (const DiffEntry& entry : entries) {
    bool left_only = entry.kind == MissingRight;
    if (!left_only && entry.kind != MissingLeft) continue;
    const Tree& own = left_only ? left : right;
    const Tree& other = left_only ? right : left;
    if (action == (left_only ? 'l' : 'r')) {
      // A deletion meets the trees as the copies before it left them.
      if (run.empty()) wait_for_copies(batch);
      run.push_back({&own, std::string(entry.relative_path), entry.seconds});
      continue;
    }
    if (!run.empty()) ok = delete_one_sided(batch, run) && ok;
    // A name the target's file system takes for another one's.
    std::string clash = cases == nullptr
                            ? std::string()
                            : claim_path(left_only ? cases->right : cases->left,
                                         other, entry.relative_path);
    if (!clash.empty()) {
      ok = refuse_copy(own, other, std::string(entry.relative_path),
                       case_clash_reason(full_path(other.root, clash))) &&
           ok;
      continue;
    }
    ok =
        queue_copy(batch, own, other, std::string(entry.relative_path), true) &&
        ok;
  }
  if (!run.empty()) ok = delete_one_sided(batch, run) && ok;
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
