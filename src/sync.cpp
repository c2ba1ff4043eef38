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
// made a group at a time, then reported and pruned in turn, the walks of
// the pruning side by side (see prune.h); a walk that climbs into a
// directory holding a later file of the group stops there, as it would
// have found that file still in place.

#include "sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "copier.h"
#include "interrupt.h"
#include "madedirs.h"
#include "output.h"
#include "path.h"
#include "prune.h"
#include "readback.h"
#include "runstatus.h"

namespace {

const char kChangedSinceScan[] = "Datei wurde seit dem Vergleich geändert";

// A one-sided file to delete, and what became of the attempt.
struct Deletion {
  const Tree* tree = nullptr;
  std::string relative_path;
  std::int64_t seconds = 0;  // its time, as the scan saw it
  std::uint64_t inode = 0;   // its inode, as the scan saw it
  bool changed = false;      // no longer what the scan saw: left alone
  int error = 0;             // errno of a failed deletion; 0 if it is gone
  Move* move = nullptr;      // where a later copy may take the file: its record
  bool taken = false;        // an earlier copy took the file: only reported
  bool skipped = false;      // a signal came first: not attempted
  std::atomic<bool> running{false};
};

// Deletions carried out at once before their lines and the pruning of
// their directories: the more, the fewer rounds of pruning.
constexpr std::size_t kDeletionGroup = 1024;

}  // namespace

// The inode the scan saw of the one-sided file of `entry`.
static std::uint64_t scanned_inode(const DiffEntry& entry) {
  return entry.kind == MissingRight ? entry.left_inode : entry.right_inode;
}

// The in-flight count asked for, or the program's own for the two trees.
static std::size_t in_flight_or_default(std::size_t in_flight,
                                        const Tree& left, const Tree& right) {
  return in_flight == 0 ? default_in_flight(left, right) : in_flight;
}

// The copies and deletions that a call makes of `entries`, in the
// listing's order, for the status line, where one is wanted: with `action`
// 0 the updates, else what the answer `action` does with the one-sided
// files.
static std::vector<PlannedCopy> planned_copies(
    const std::vector<DiffEntry>& entries, const Tree& left, const Tree& right,
    char action) {
  std::vector<PlannedCopy> copies;
  if (!status_line_wanted()) return copies;
  for (const DiffEntry& entry : entries) {
    bool from_left = entry.kind == LeftNewer || entry.kind == MissingRight;
    bool update = entry.kind == LeftNewer || entry.kind == RightNewer;
    bool deleted = action == (from_left ? 'l' : 'r');
    if (update != (action == 0)) continue;
    const Tree& to = from_left ? right : left;
    copies.push_back({from_left ? &left : &right, entry.relative_path,
                      !deleted && kReadBack && to.carried, deleted});
  }
  return copies;
}

bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const Tree& left, const Tree& right,
                          std::size_t in_flight, bool reuse) {
  begin_changes();
  start_run_status(planned_copies(entries, left, right, 0));
  bool ok;
  {
    Copier copier(in_flight_or_default(in_flight, left, right), reuse);
    // Targets are compared as their drive returns them.
    for (const Tree* tree : {&left, &right}) {
      if (reuse && tree->carried) drop_device_cache(tree->device);
    }
    for (const DiffEntry& entry : entries) {
      const std::string path(entry.relative_path);
      if (entry.kind == LeftNewer) {
        queue_copy(copier, left, right, path, false, entry.left_inode,
                   entry.right_inode);
      }
      if (entry.kind == RightNewer) {
        queue_copy(copier, right, left, path, false, entry.right_inode,
                   entry.left_inode);
      }
    }
    ok = finish_copies(copier);
  }
  end_run_status();
  end_changes();
  return ok;
}

// Whether what stands at `name` in `dir_fd`, of status `st`, is no longer
// the regular file that the scan saw for `deletion`: its time and inode; a
// file that is gone is not.
static bool changed_since_scan(int dir_fd, const std::string& name,
                               const Deletion& deletion, struct stat& st) {
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    st.st_mode = 0;
    return false;  // the deletion reports what stands in its way
  }
  return !S_ISREG(st.st_mode) || st.st_mtim.tv_sec != deletion.seconds ||
         !is_scanned(*deletion.tree, deletion.inode, st);
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
  // A file put back after another wrote it while taken stays, whatever
  // time it shows.
  bool written = deletion.move != nullptr && deletion.move->changed;
  deletion.changed = !deletion.taken &&
                     (changed_since_scan(dir_fd, name, deletion, st) || written);
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

// Puts the line of `deletion`, whose file copies may have taken from
// `moves`, into `lines`; false after a failure.
static bool deletion_line(Moves& moves, Deletion& deletion,
                          std::vector<Line>& lines) {
  if (deletion.move != nullptr) note_reported(moves, *deletion.move);
  std::string path = full_path(deletion.tree->root, deletion.relative_path);
  if (deletion.changed) {
    lines.push_back({true, failure_line("Löschen von", path, kChangedSinceScan)});
    return false;
  }
  if (!is_gone(deletion)) {
    lines.push_back({true, failure_line("Löschen von", path, deletion.error)});
    return false;
  }
  std::string line(1, '\'');  // built in steps: GCC 12 warns of "'" + ...
  lines.push_back(
      {false, line.append(shown_path(path, 1)).append("' wurde entfernt\n")});
  return true;
}

// Gives the `i`th deletion of `group` its line and sets out the walk that
// prunes the directories it left empty; false after a failure.  One that a
// signal came before is neither.
static bool settle_deletion(Copier& copier, std::deque<Deletion>& group,
                            std::size_t i, PruneWalk& walk) {
  Deletion& deletion = group[i];
  walk.tree = deletion.tree;
  if (deletion.skipped) return true;
  bool ok = deletion_line(copier.moves, deletion, walk.lines);
  // A file that stays keeps its directories; a path through a link is left
  // alone, its directories too.
  if (deletion.changed || is_refused_path(deletion.error)) return false;
  if (deletion.move != nullptr && deletion.move->held) {
    offer_move(copier.moves, *deletion.move);
  }
  walk.dir = parent_of(deletion.relative_path);
  return ok;
}

// For each directory that holds a file of `group` that is gone, the index
// of the last such file.
static std::unordered_map<std::string, std::size_t> last_gone_below(
    const std::deque<Deletion>& group) {
  std::unordered_map<std::string, std::size_t> last;
  for (std::size_t j = 0; j < group.size(); ++j) {
    if (group[j].skipped || group[j].error != 0 || group[j].changed) continue;
    for (std::string dir = parent_of(group[j].relative_path); !dir.empty();
         dir = parent_of(dir)) {
      last[dir] = j;
    }
  }
  return last;
}

// Writes the lines of the walks of a group, each deletion's in turn.
static void write_walks(std::deque<PruneWalk>& walks) {
  for (PruneWalk& walk : walks) write_lines(walk.lines);
}

// Reports the deletions of `group`, carried out, and removes the
// directories they left empty, with the lines and outcome of doing so one
// deletion after the other: a directory that holds a later file of the
// group that is gone counts as holding it still, as does one that holds a
// file a copy took before its deletion line.
static bool finish_group(Copier& copier, std::deque<Deletion>& group) {
  bool ok = true;
  std::deque<PruneWalk> walks(group.size());
  for (std::size_t i = 0; i < group.size(); ++i) {
    ok = settle_deletion(copier, group, i, walks[i]) && ok;
  }
  auto last = last_gone_below(group);
  WalkBlocked blocked = [&](std::size_t i, const std::string& dir) {
    if (holds_taken(copier.moves, *group[i].tree, dir)) return Block::Held;
    auto found = last.find(dir);
    if (found != last.end() && found->second > i) return Block::Later;
    return Block::Free;
  };
  DirRemoved removed = [&](const Tree& tree, const std::string& dir) {
    forget_removed_dir(copier, tree, dir);
  };
  // The walk of a file that was gone already does not block those before
  // it and may empty their directories: it waits for them.
  for (std::size_t begin = 0, end; begin < group.size(); begin = end) {
    end = begin + 1;
    while (end < group.size() && group[end].error != ENOENT) ++end;
    ok = run_walks(walks, begin, end, copier.workers, blocked, removed) && ok;
  }
  write_walks(walks);
  // After a signal, the deletions carried out are reported and pruned as
  // one after the other would have them, and the run ends.
  if (stop_requested()) stop_copies(copier);
  return ok;
}

// Deletes the one-sided files of `run`, a group of many at once, and
// prunes the directories they leave empty, with the outcome and the lines
// of deleting them one after the other.
static bool delete_one_sided(Copier& copier, std::deque<Deletion>& run) {
  bool ok = true;
  while (!run.empty()) {
    // With one in flight, each deletion is pruned before the next.
    std::size_t group_size = copier.in_flight == 1
                                 ? 1
                                 : std::max(copier.in_flight, kDeletionGroup);
    std::size_t size = std::min(run.size(), group_size);
    std::deque<Deletion> group;
    for (std::size_t i = 0; i < size; ++i) {
      Deletion& deletion = group.emplace_back();
      deletion.tree = run.front().tree;
      deletion.relative_path = std::move(run.front().relative_path);
      deletion.seconds = run.front().seconds;
      deletion.inode = run.front().inode;
      deletion.move = run.front().move;
      deletion.taken = run.front().taken;
      run.pop_front();
    }
    for (Deletion& deletion : group) {
      run_job(copier.workers, deletion.running, [&copier, &deletion] {
        if (!stop_requested()) {
          unlink_one_sided(copier.moves, deletion);
          count_deletion_done();
        } else {
          deletion.skipped = true;
        }
      });
    }
    wait_idle(copier.workers);
    ok = finish_group(copier, group) && ok;
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
  std::vector<ScannedFile> deleted, copied;
  for (const DiffEntry& entry : entries) {
    if (entry.kind != MissingLeft && entry.kind != MissingRight) continue;
    (entry.kind == deleted_kind ? deleted : copied)
        .push_back({std::string(entry.relative_path), entry.seconds,
                    scanned_inode(entry)});
  }
  if (deleted.empty() || copied.empty()) return;
  plan_takes(moves, copier.workers, own, deleted, other, copied);
  // Files kept for copies wait in a directory private to the run.
  if (moves.keep_deleted && !moves.sources.empty()) open_hold(moves, own);
  if (own.carried && !moves.sources.empty()) drop_device_cache(own.device);
}

// The record of a file to delete that a copy may take: a new one to keep
// it in where the deletions come first, else the one of the copy that took
// it; null if none.
static Move* movable(Moves& moves, const Tree& tree, Deletion& deletion) {
  Move* kept = keepable(
      moves, tree,
      {deletion.relative_path, deletion.seconds, deletion.inode});
  if (kept != nullptr) return kept;
  Move* taken = taken_move(moves, tree, deletion.relative_path);
  deletion.taken = taken != nullptr && taken->taken;
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
      deletion.inode = scanned_inode(entry);
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
      count_copy_done(0, false, false);
      ok = false;
      continue;
    }
    queue_copy(copier, own, other, std::string(entry.relative_path), true,
               left_only ? entry.left_inode : entry.right_inode);
  }
  if (!run.empty()) ok = delete_one_sided(copier, run) && ok;
  ok = finish_copies(copier) && ok;
  ok = drop_held(copier.moves, copier.workers) && ok;
  return close_hold(copier.moves) && ok;
}

bool handle_missing(const std::vector<DiffEntry>& entries, const Tree& left,
                    const Tree& right, char missing_action,
                    std::size_t in_flight, CaseIndexes* cases, bool reuse,
                    const ScannedDirs* scanned) {
  char action = static_cast<char>(
      std::tolower(static_cast<unsigned char>(missing_action)));
  if (action != 'l' && action != 'r' && action != 'b') return true;
  begin_changes();
  start_run_status(planned_copies(entries, left, right, action));
  bool ok;
  {
    Copier copier(in_flight_or_default(in_flight, left, right), reuse);
    if (scanned != nullptr) {
      copier.scanned = {{&left, &scanned->left}, {&right, &scanned->right}};
    }
    ok = resolve_missing(copier, entries, left, right, action, cases);
    finish_made_dirs(copier);
  }
  end_run_status();
  if (action == 'l') ok = make_tree_durable(left) && ok;
  if (action == 'r') ok = make_tree_durable(right) && ok;
  end_changes();
  return ok;
}
