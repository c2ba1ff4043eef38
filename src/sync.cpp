// sync.cpp: the plan of the synchronisation: which file is updated, copied
// or deleted, and which emptied directories go.
//
// The thread that calls these functions walks the listing and decides, in
// its order, everything that orders the work; the system calls run on the
// copier's workers, many at once, with the lines, status and trees of
// doing one after the other.  Every change goes through directories opened
// beneath the two roots (see beneath.h), copies through the copier.  A
// one-sided file is deleted only while it is still the regular file with
// the time the scan saw.  Deletions next to each other in the listing are
// made a group at a time, then reported and pruned in turn; a pruning that
// climbs into a directory holding a later file of the group stops there,
// as it would have found that file still in place.

#include "sync.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "copier.h"
#include "interrupt.h"
#include "madedirs.h"
#include "output.h"
#include "path.h"
#include "readback.h"

namespace {

const char kChangedSinceScan[] = "Datei wurde seit dem Vergleich geändert";

// A one-sided file to delete, and what became of the attempt.
struct Deletion {
  const Tree* tree = nullptr;
  std::string relative_path;
  std::int64_t seconds = 0;  // its time, as the scan saw it
  bool changed = false;      // no longer what the scan saw: left alone
  int error = 0;             // errno of a failed deletion; 0 if it is gone
  bool reported = false;     // its line is written
  Move* move = nullptr;      // where a later copy may take the file: its record
  bool taken = false;        // an earlier copy took the file: only reported
  std::atomic<bool> running{false};
};

// Says whether pruning must stop at a directory, as a later file would
// still hold it.
using Blocked = std::function<bool(const std::string&)>;

}  // namespace

// The in-flight count asked for, or the program's own for the two trees.
static std::size_t in_flight_or_default(std::size_t in_flight,
                                        const Tree& left, const Tree& right) {
  return in_flight == 0 ? default_in_flight(left, right) : in_flight;
}

bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const Tree& left, const Tree& right,
                          std::size_t in_flight, bool reuse) {
  install_interrupt_handlers();
  begin_changes();
  bool ok;
  {
    Copier copier(in_flight_or_default(in_flight, left, right));
    copier.reuse = reuse;
    // Targets are compared as their drive returns them.
    for (const Tree* tree : {&left, &right}) {
      if (reuse && tree->carried) drop_device_cache(tree->device);
    }
    for (const DiffEntry& entry : entries) {
      const std::string path(entry.relative_path);
      if (entry.kind == LeftNewer) queue_copy(copier, left, right, path, false);
      if (entry.kind == RightNewer) queue_copy(copier, right, left, path, false);
    }
    ok = finish_copies(copier);
  }
  end_changes();
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

// Removes `directory` and its ancestors while they are empty and not
// `blocked`, telling `copier` (if any) of each one removed.
static bool prune(const Tree& tree, std::string directory,
                  const Blocked& blocked, Copier* copier) {
  while (!directory.empty() && !blocked(directory)) {
    int removed = remove_if_empty(tree, directory);
    if (removed <= 0) return removed == 0;
    if (copier != nullptr) forget_removed_dir(*copier, tree, directory);
    directory = parent_of(directory);
  }
  return true;
}

bool remove_empty_parents(const Tree& tree, std::string directory) {
  return prune(tree, std::move(directory), [](const std::string&) { return false; },
               nullptr);
}

// Whether what stands at `name` in `dir_fd`, of status `st`, is no longer
// the regular file that the scan saw with the time `seconds`; a file that
// is gone is not.
static bool changed_since_scan(int dir_fd, const std::string& name,
                               std::int64_t seconds, struct stat& st) {
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    st.st_mode = 0;
    return false;  // the deletion reports what stands in its way
  }
  return !S_ISREG(st.st_mode) || st.st_mtim.tv_sec != seconds;
}

// Deletes the file of `deletion` if it is still the regular file with the
// time the scan saw, or keeps it for a later copy that may take it; runs on
// a worker and reports nothing.  One that a copy took is gone already.
static void unlink_one_sided(const Moves& moves, Deletion& deletion) {
  // One whose copy failed and could not put it back goes where it stands.
  const std::string& relative_path =
      deletion.taken ? deletion.move->path : deletion.relative_path;
  if (deletion.taken && !deletion.move->stuck) return;
  int dir_fd = open_beneath(*deletion.tree, parent_of(relative_path));
  if (dir_fd < 0) {
    deletion.error = errno;
    return;
  }
  std::string name = name_of(relative_path);
  struct stat st;
  deletion.changed = !deletion.taken &&
                     changed_since_scan(dir_fd, name, deletion.seconds, st);
  bool kept = !deletion.changed && !deletion.taken &&
              deletion.move != nullptr &&
              hold_file(moves, *deletion.move, dir_fd, name, st);
  if (!deletion.changed && !kept && unlinkat(dir_fd, name.c_str(), 0) != 0) {
    deletion.error = errno;
  }
  close(dir_fd);
}

// Whether the file of `deletion` is gone: removed, or not there to remove.
static bool is_gone(const Deletion& deletion) {
  return !deletion.changed &&
         (deletion.error == 0 || deletion.error == ENOENT);
}

// Writes the line of `deletion`, whose file copies may have taken from
// `moves`; false after a failure.
static bool report_deletion(Moves& moves, Deletion& deletion) {
  deletion.reported = true;
  if (deletion.move != nullptr) note_reported(moves, *deletion.move);
  std::string path = full_path(deletion.tree->root, deletion.relative_path);
  if (deletion.changed) {
    report(failure_line("Löschen von", path, kChangedSinceScan));
    return false;
  }
  if (!is_gone(deletion)) return failed("Löschen von", path, deletion.error);
  std::string line(1, '\'');  // built in steps: GCC 12 warns of "'" + ...
  say(line.append(shown_path(path, 1)).append("' wurde entfernt\n"));
  return true;
}

// Reports the `i`th deletion of `group` and removes the directories it left
// empty; a directory that holds a later file of the
// group that this run removed counts as holding it still.
static bool finish_deletion(Copier& copier, std::deque<Deletion>& group,
                            std::size_t i) {
  Deletion& deletion = group[i];
  bool ok = report_deletion(copier.moves, deletion);
  // A file that stays keeps its directories; a path through a link is left
  // alone, its directories too.
  if (deletion.changed || is_refused_path(deletion.error)) return false;
  if (deletion.move != nullptr && deletion.move->held) {
    offer_move(copier.moves, *deletion.move);
  }
  Blocked held = [&](const std::string& dir) {
    if (holds_taken(copier.moves, *deletion.tree, dir)) return true;
    std::string below = dir + "/";
    for (std::size_t j = i + 1; j < group.size(); ++j) {
      if (group[j].tree == deletion.tree && group[j].error == 0 &&
          !group[j].changed &&
          group[j].relative_path.compare(0, below.size(), below) == 0) {
        return true;
      }
    }
    return false;
  };
  return prune(*deletion.tree, parent_of(deletion.relative_path), held,
               &copier) &&
         ok;
}

// After a signal: reports the deletions of `group` that were carried out,
// then ends as the copier does.
[[noreturn]] static void stop_deleting(Copier& copier,
                                       std::deque<Deletion>& group) {
  wait_idle(copier.workers);
  for (Deletion& deletion : group) {
    if (!deletion.reported && is_gone(deletion)) {
      report_deletion(copier.moves, deletion);
    }
  }
  stop_copies(copier);
}

// Deletes the one-sided files of `run`, a group of as many as the copier
// carries out at once, and prunes the directories they leave empty, with
// the outcome and the lines of deleting them one after the other.
static bool delete_one_sided(Copier& copier, std::deque<Deletion>& run) {
  bool ok = true;
  while (!run.empty()) {
    std::size_t size = std::min(run.size(), copier.in_flight);
    std::deque<Deletion> group;
    for (std::size_t i = 0; i < size; ++i) {
      Deletion& deletion = group.emplace_back();
      deletion.tree = run.front().tree;
      deletion.relative_path = std::move(run.front().relative_path);
      deletion.seconds = run.front().seconds;
      deletion.move = run.front().move;
      deletion.taken = run.front().taken;
      run.pop_front();
    }
    for (Deletion& deletion : group) {
      run_job(copier.workers, deletion.running, [&copier, &deletion] {
        if (!stop_requested()) unlink_one_sided(copier.moves, deletion);
        else deletion.error = EINTR;
      });
    }
    wait_idle(copier.workers);
    if (stop_requested()) stop_deleting(copier, group);
    for (std::size_t i = 0; i < group.size(); ++i) {
      ok = finish_deletion(copier, group, i) && ok;
      if (stop_requested()) stop_deleting(copier, group);
    }
  }
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

// Plans the files that `action` deletes in a tree and a copy into that
// tree may take: those of the size and time of such a copy's source.
static void plan_moves(Copier& copier, const std::vector<DiffEntry>& entries,
                       const Tree& left, const Tree& right, char action) {
  if (!copier.reuse || action == 'b') return;
  Moves& moves = copier.moves;
  const Tree& own = action == 'l' ? left : right;
  const Tree& other = action == 'l' ? right : left;
  moves.tree = &own;
  moves.slack = time_slack(left.kind, right.kind);
  moves.keep_deleted = action == 'l';
  DiffKind deleted_kind = action == 'l' ? MissingRight : MissingLeft;
  std::vector<std::pair<std::string, std::int64_t>> deleted, copied;
  for (const DiffEntry& entry : entries) {
    if (entry.kind != MissingLeft && entry.kind != MissingRight) continue;
    (entry.kind == deleted_kind ? deleted : copied)
        .emplace_back(std::string(entry.relative_path), entry.seconds);
  }
  if (deleted.empty() || copied.empty()) return;
  plan_takes(moves, copier.workers, own, deleted, other, copied);
  if (own.carried && !moves.sources.empty()) drop_device_cache(own.device);
}

// The record of a file to delete that a copy may take: a new one to keep
// it in where the deletions come first, else the one of the copy that took
// it; null if none.
static Move* movable(Moves& moves, const Tree& tree, Deletion& deletion) {
  Move* kept = keepable(moves, tree, deletion.relative_path, deletion.seconds);
  if (kept != nullptr) return kept;
  Move* taken = taken_move(moves, tree, deletion.relative_path);
  deletion.taken = taken != nullptr;
  return taken;
}

// The walk of handle_missing, on the copier of the call.
static bool resolve_missing(Copier& copier,
                            const std::vector<DiffEntry>& entries,
                            const Tree& left, const Tree& right, char action,
                            CaseIndexes* cases) {
  std::deque<Deletion> run;  // deletions next to each other in the list
  bool ok = true;
  plan_moves(copier, entries, left, right, action);
  for (const DiffEntry& entry : entries) {
    bool left_only = entry.kind == MissingRight;
    if (!left_only && entry.kind != MissingLeft) continue;
    const Tree& own = left_only ? left : right;
    const Tree& other = left_only ? right : left;
    if (action == (left_only ? 'l' : 'r')) {
      // A deletion meets the trees as the copies before it left them: in
      // place, or failed with the directories made for them removed.
      if (run.empty()) {
        finish_copies(copier);
        index_taken(copier.moves);
      }
      Deletion& deletion = run.emplace_back();
      deletion.tree = &own;
      deletion.relative_path = std::string(entry.relative_path);
      deletion.seconds = entry.seconds;
      deletion.move = movable(copier.moves, own, deletion);
      continue;
    }
    if (!run.empty()) ok = delete_one_sided(copier, run) && ok;
    // A name the target's file system takes for another one's: refused
    // after the lines of the copies before it.
    std::string clash = cases == nullptr
                            ? std::string()
                            : claim_path(left_only ? cases->right : cases->left,
                                         other, entry.relative_path);
    if (!clash.empty()) {
      settle_copies(copier);
      std::string source = full_path(own.root, entry.relative_path);
      std::string target = full_path(other.root, entry.relative_path);
      say(shown_path(source, 1) + " -> " + shown_path(target, 1) + "\n");
      report(copy_failure_line(
          source, target, case_clash_reason(full_path(other.root, clash))));
      ok = false;
      continue;
    }
    queue_copy(copier, own, other, std::string(entry.relative_path), true);
  }
  if (!run.empty()) ok = delete_one_sided(copier, run) && ok;
  ok = finish_copies(copier) && ok;
  return drop_held(copier.moves, copier.workers) && ok;
}

bool handle_missing(const std::vector<DiffEntry>& entries, const Tree& left,
                    const Tree& right, char missing_action,
                    std::size_t in_flight, CaseIndexes* cases, bool reuse) {
  char action = static_cast<char>(
      std::tolower(static_cast<unsigned char>(missing_action)));
  if (action != 'l' && action != 'r' && action != 'b') return true;
  install_interrupt_handlers();
  begin_changes();
  bool ok;
  {
    Copier copier(in_flight_or_default(in_flight, left, right));
    copier.reuse = reuse;
    ok = resolve_missing(copier, entries, left, right, action, cases);
    finish_made_dirs(copier);
  }
  if (action == 'l') ok = make_tree_durable(left) && ok;
  if (action == 'r') ok = make_tree_durable(right) && ok;
  end_changes();
  return ok;
}
