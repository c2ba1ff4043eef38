// copier.cpp: the copies of a synchronisation, planned on one thread.
//
// The thread that walks the listing decides everything that orders the
// copies or makes one depend on another; the workers only carry out system
// calls and hand back their outcome.  A copy goes through four steps:
//   1. its progress line, and a worker reads the source's status;
//   2. in the listing's order, the planning thread gives it a place in the
//      batch: where it would not fit beside the room, files and bytes that
//      the copies before it hold, it waits until those have been written
//      (one that failed gives back what it held) and, still not fitting,
//      the batch is finished first; a one-sided copy whose directory the
//      run does not know gets a worker that makes it, unless it shares a
//      directory that an earlier copy's worker is making: then it waits
//      for that one, whose results are taken in the listing's order;
//   3. a worker writes its temporary file;
//   4. in the listing's order, its failures are written out; a failed copy
//      removes the directories it made, unless a later copy already in
//      flight lies in them: that copy then counts as their maker, as it
//      would had the failed one removed them before it began.
// At most `in_flight` steps run at once.  Twice as many copies may wait
// for step 2, and every copy of the batch may be between steps 2 and 4, so
// that a long copy at the front holds up neither the steps nor the writes
// of the copies behind it.  With one in flight, every copy is made one
// after the other, with the same lines, status and trees.

#include "copier.h"

#include <unistd.h>

#include <atomic>

#include "filecopy.h"
#include "interrupt.h"
#include "output.h"
#include "path.h"
#include "putback.h"
#include "readback.h"
#include "runstatus.h"

// Copies whose steps are carried out at once, by as many threads: a local
// disk gains nothing from more.  Can be set when building, for
// measurements and tests.
#ifndef KALVERN_COPIES_IN_FLIGHT
#define KALVERN_COPIES_IN_FLIGHT 16
#endif
// The same behind a network, where each step waits for a round trip and a
// server serves many at once.
#ifndef KALVERN_NETWORK_IN_FLIGHT
#define KALVERN_NETWORK_IN_FLIGHT 64
#endif

std::size_t default_in_flight(const Tree& left, const Tree& right) {
  if (left.network || right.network) return KALVERN_NETWORK_IN_FLIGHT;
  return KALVERN_COPIES_IN_FLIGHT;
}

Copier::Copier(std::size_t in_flight, bool reuse)
    : in_flight(in_flight < 1 ? 1 : in_flight),
      ahead(2 * this->in_flight),
      workers(this->in_flight),
      reuse(reuse) {}

// Whether another copy may be queued now.
static bool has_room(const Copier& copier) {
  if (copier.in_flight == 1) return copier.window.empty();
  return copier.window.size() - copier.placed < copier.ahead;
}

// Whether a worker is carrying out a step of `copy`.
static bool is_running(const PendingCopy& copy) {
  return copy.running.load(std::memory_order_acquire);
}

// Whether `copy`, placed, is written or has failed.
static bool is_done(const PendingCopy& copy) {
  return copy.started && !is_running(copy);
}

// The directories known in the tree `tree`.
static KnownDirs& known_of(Copier& copier, const Tree& tree) {
  for (auto& [held, known] : copier.known) {
    if (held == &tree) return known;
  }
  return copier.known.emplace_back(&tree, KnownDirs{}).second;
}

// Notes that directory `path` of `tree` was made or removed.
static void note_change(Copier& copier, const Tree& tree,
                        const std::string& path) {
  copier.changes.push_back({++copier.change_count, &tree, path});
}

// Whether a directory on the source's path changed after the source's
// status was read, by a copy placed before it.
static bool source_path_changed(const Copier& copier, const PendingCopy& copy) {
  for (const DirChange& change : copier.changes) {
    if (change.count <= copy.changes_seen || change.tree != copy.from) continue;
    const std::string& path = copy.relative_path;
    if (path.compare(0, change.path.size(), change.path) == 0 &&
        (path.size() == change.path.size() || path[change.path.size()] == '/')) {
      return true;
    }
  }
  return false;
}

// The earliest copy in flight, placed in the batch, that writes into
// directory `dir` of `tree` or below it; null if none.
static PendingCopy* first_user(Copier& copier, const Tree* tree,
                               const std::string& dir) {
  std::string below = dir + "/";
  for (std::size_t i = 0; i < copier.placed; ++i) {
    PendingCopy& copy = *copier.window[i];
    if (copy.create && copy.to == tree &&
        (copy.parent == dir || copy.parent.compare(0, below.size(), below) == 0)) {
      return &copy;
    }
  }
  return nullptr;
}

// Removes the directories that the failed `copy` made, deepest first, up to
// the first one that stays; one that a later copy in flight lies in passes
// to that copy instead, and so do those above it, where that copy lies too.
static void remove_failed_dirs(Copier& copier, PendingCopy& copy) {
  if (copy.created.empty()) return;
  std::string kept = copy.parent;  // the deepest one a later copy lies in
  std::string last;                // the topmost one to remove
  while (kept.size() >= copy.created.size() &&
         first_user(copier, copy.to, kept) == nullptr) {
    last = kept;
    kept = parent_of(kept);
  }
  std::string top = remove_made_dirs(*copy.to, copy.parent, last);
  for (std::string dir = copy.parent; !top.empty() && dir.size() >= top.size();
       dir = parent_of(dir)) {
    forget_removed_dir(copier, *copy.to, dir);
  }
  if (top != last) return;
  for (; kept.size() >= copy.created.size(); kept = parent_of(kept)) {
    PendingCopy* heir = first_user(copier, copy.to, kept);
    if (heir != nullptr &&
        (heir->created.empty() || kept.size() < heir->created.size())) {
      heir->created = kept;
    }
  }
}

// Makes the batch durable and visible and starts the next one.
static void end_batch(Copier& copier) {
  bool ok = finish_batch(copier.batch, copier.workers);
  count_batch_done();
  if (stop_requested()) stop_copies(copier);
  // A file still open on a FUSE file system may stand in its directory
  // under another name until it is closed.
  close_batch(copier.batch, copier.workers);
  // Later copies made theirs below or beside those of earlier ones, so
  // they go first.
  auto& copies = copier.batch.copies;
  for (auto copy = copies.rbegin(); copy != copies.rend(); ++copy) {
    if (!(*copy)->ok && !(*copy)->renamed) remove_failed_dirs(copier, **copy);
  }
  clear_batch(copier.batch);
  copier.ok = ok && copier.ok;
}

// Reads the source's status again, here, after a copy before it made or
// removed a directory on its path.
static void stat_again(Copier& copier, PendingCopy& copy) {
  close_copy(copy);
  copy.ok = true;
  copy.errors.clear();
  copy.changes_seen = copier.change_count;
  stat_copy_source(copy);
}

// Counts `copy`, written or failed, as dealt with on the status line.
static void count_done(const PendingCopy& copy) {
  count_copy_done(static_cast<std::uint64_t>(copy.source_st.st_size),
                  kReadBack && copy.to->carried, copy.ok && is_read_back(copy));
}

// Step 3 for `copy`: a worker writes its temporary file.
static void start_write(Copier& copier, PendingCopy& copy) {
  copy.started = true;
  run_job(copier.workers, copy.running, [&copy] {
    if (stop_requested()) return;
    write_copy(copy);
    count_done(copy);
  });
}

// Whether directories `a` and `b` share one below `base`, an ancestor of
// `b`.
static bool share_below(const std::string& a, const std::string& b,
                        const std::string& base) {
  std::size_t skip = base.empty() ? 0 : base.size() + 1;
  if (a.size() <= skip || a.compare(0, skip, b, 0, skip) != 0) return false;
  std::size_t end = b.find('/', skip);
  std::string first = b.substr(skip, end == std::string::npos ? end : end - skip);
  return a.compare(skip, first.size(), first) == 0 &&
         (a.size() == skip + first.size() || a[skip + first.size()] == '/');
}

// The last copy placed before `copy` whose worker is making a directory
// that the directory of `copy` shares below what the run knows; null if
// none.
static PendingCopy* dir_maker(Copier& copier, const PendingCopy& copy) {
  std::string base = known_ancestor(known_of(copier, *copy.to), copy.parent);
  PendingCopy* maker = nullptr;
  for (std::size_t i = 0; i < copier.placed; ++i) {
    PendingCopy& other = *copier.window[i];
    if (&other == &copy) break;
    if (other.dirs && other.to == copy.to &&
        share_below(other.parent, copy.parent, base)) {
      maker = &other;
    }
  }
  return maker;
}

// Whether a worker is making directories in `tree` for a placed copy.
static bool makes_dirs_in(const Copier& copier, const Tree& tree) {
  for (std::size_t i = 0; i < copier.placed; ++i) {
    if (copier.window[i]->dirs && copier.window[i]->to == &tree) return true;
  }
  return false;
}

// Gives the one-sided `copy`, whose directory the run does not know, a
// worker that makes it, or has it wait for the copy making one it shares.
static void give_dirs(Copier& copier, PendingCopy& copy) {
  copy.after = dir_maker(copier, copy);
  if (copy.after != nullptr) return;
  copy.dirs = std::make_shared<DirWork>(
      plan_dirs(known_of(copier, *copy.to), copy));
  for (const auto& [tree, dirs] : copier.scanned) {
    if (tree == copy.to) copy.dirs->scanned = dirs;
  }
  // Before the writes queued: copies wait for it.
  run_job(
      copier.workers, copy.running,
      [&copy] {
        if (!stop_requested()) make_planned_dirs(copy, *copy.dirs);
      },
      true);
}

// Takes the directories a worker made for `copy`, each a change, then
// starts its write and lets the copies that waited go on, in order.
static void take_dirs(Copier& copier, PendingCopy& copy) {
  take_made_dirs(known_of(copier, *copy.to), copy, *copy.dirs);
  std::string changed = std::move(copy.dirs->changed);
  copy.dirs.reset();
  for (std::string dir = copy.parent;
       !changed.empty() && dir.size() >= changed.size(); dir = parent_of(dir)) {
    note_change(copier, *copy.to, dir);
  }
  if (copy.ok) {
    start_write(copier, copy);
  } else {
    copy.started = true;
    count_done(copy);
    close_copy(copy);
  }
  for (std::size_t i = 0; i < copier.placed; ++i) {
    PendingCopy& waiting = *copier.window[i];
    if (waiting.after != &copy) continue;
    waiting.after = nullptr;
    if (needs_dirs(known_of(copier, *waiting.to), waiting)) {
      give_dirs(copier, waiting);
    } else {
      start_write(copier, waiting);
    }
  }
}

// Takes the directories that workers have made, in the listing's order;
// false if there were none.  With `all`, waits for those being made.
static bool take_made(Copier& copier, bool all = false) {
  bool took = false;
  for (std::size_t i = 0; i < copier.placed; ++i) {
    PendingCopy& copy = *copier.window[i];
    if (!copy.dirs) continue;
    if (all) wait_until(copier.workers, [&] { return !is_running(copy); });
    if (is_running(copy)) break;
    take_dirs(copier, copy);
    took = true;
  }
  return took;
}

// Step 2 for `copy`, whose source has been read; false where it must wait
// until every copy before it has been written.
static bool place_copy(Copier& copier, PendingCopy& copy) {
  // A directory being made in the source's tree may lie on its path.
  while (makes_dirs_in(copier, *copy.from) && take_made(copier, true)) {
  }
  // The copies after this one read their sources later still.
  while (!copier.changes.empty() &&
         copier.changes.front().count <= copy.changes_seen) {
    copier.changes.pop_front();
  }
  if (source_path_changed(copier, copy)) {
    if (copier.placed > 0) return false;
    stat_again(copier, copy);
  }
  if (!copy.ok) {
    copy.started = true;
    count_done(copy);
    close_copy(copy);
    return true;
  }
  copier.batch.changed = copier.moves.tree;
  copier.batch.room_change = copier.moves.room_change;
  Fit fit = fits_in_batch(copier.batch, copy);
  if (fit != Fit::Yes && copier.placed > 0) return false;
  if (fit == Fit::No) end_batch(copier);  // the batch is full
  hold_room(copier.batch, copy);
  copy.held = true;
  // Where writing the copy might fail for want of room, it is written, so
  // that it fails as it would.
  copy.reuse = copy.reuse && has_room_to_spare(copier.batch, copy);
  // Files kept for copies still take room that deleting them would have
  // freed: where this copy is written for want of room, they go first.
  if (!copy.reuse && copier.moves.room_change > 0 &&
      !drop_held(copier.moves, copier.workers)) {
    copier.ok = false;
  }
  if (copy.create && copy.reuse && copier.moves.tree == copy.to) {
    copy.move = reserve_move(copier.moves, copy.source_st.st_size,
                             copy.source_st.st_mtim.tv_sec, copy.name);
  }
  if (copy.create && needs_dirs(known_of(copier, *copy.to), copy)) {
    give_dirs(copier, copy);
  } else {
    start_write(copier, copy);
  }
  return true;
}

// Step 4 for the copy at the window's front.
static void retire_front(Copier& copier) {
  // After a signal a copy broken off, or ok with its step skipped and
  // nothing written, joins no batch.
  if (stop_requested()) stop_copies(copier);
  std::unique_ptr<PendingCopy> copy = std::move(copier.window.front());
  copier.window.pop_front();
  --copier.placed;
  report(copy->errors);
  copy->errors.clear();
  if (copy->move != nullptr && !copy->moved) {
    release_move(copier.moves, *copy->move);
  } else if (copy->move != nullptr) {
    count_taken(copier.moves, *copy->move);
  }
  if (copy->ok) {
    copier.batch.copies.push_back(std::move(copy));
    return;
  }
  copier.ok = false;
  if (copy->held) release_room(copier.batch, *copy);
  close_copy(*copy);
  // The copies in flight that may inherit its directories know theirs.
  while (take_made(copier, true)) {
  }
  remove_failed_dirs(copier, *copy);
}

// Takes every step that is ready now; false if none was.
static bool advance(Copier& copier) {
  if (stop_requested()) stop_copies(copier);
  bool moved_any = false;
  for (bool moved = true; moved;) {
    moved = false;
    moved = take_made(copier) || moved;
    while (copier.placed > 0 && is_done(*copier.window.front())) {
      retire_front(copier);
      copier.wants_front = false;
      moved = true;
    }
    while (!copier.wants_front && copier.placed < copier.window.size() &&
           !is_running(*copier.window[copier.placed])) {
      if (!place_copy(copier, *copier.window[copier.placed])) {
        copier.wants_front = true;
        break;
      }
      ++copier.placed;
      moved = true;
    }
    moved_any = moved_any || moved;
  }
  return moved_any;
}

// Whether a step can be taken now.
static bool can_advance(const Copier& copier) {
  if (copier.placed > 0 && is_done(*copier.window.front())) return true;
  for (std::size_t i = 0; i < copier.placed; ++i) {
    const PendingCopy& copy = *copier.window[i];
    if (copy.dirs) {
      if (!is_running(copy)) return true;
      break;
    }
  }
  return !copier.wants_front && copier.placed < copier.window.size() &&
         !is_running(*copier.window[copier.placed]);
}

// Takes the steps that are ready, waiting for one where none is.
static void advance_or_wait(Copier& copier) {
  if (stop_requested()) stop_copies(copier);
  if (advance(copier)) return;
  wait_until(copier.workers,
             [&] { return stop_requested() || can_advance(copier); });
  if (stop_requested()) stop_copies(copier);
}

void queue_copy(Copier& copier, const Tree& from, const Tree& to,
                const std::string& relative_path, bool create,
                std::uint64_t source_inode, std::uint64_t target_inode) {
  if (stop_requested()) stop_copies(copier);
  while (!has_room(copier)) advance_or_wait(copier);
  auto copy = std::make_unique<PendingCopy>();
  copy->source = full_path(from.root, relative_path);
  copy->target = full_path(to.root, relative_path);
  copy->relative_path = relative_path;
  copy->name = name_of(relative_path);
  copy->parent = parent_of(relative_path);
  copy->create = create;
  copy->source_inode = source_inode;
  copy->target_inode = target_inode;
  copy->reuse = copier.reuse;
  copy->slack = time_slack(from.kind, to.kind);
  copy->from = &from;
  copy->to = &to;
  copy->changes_seen = copier.change_count;
  say(shown_path(copy->source, 1) + " -> " + shown_path(copy->target, 1) +
      "\n");
  PendingCopy& held = *copier.window.emplace_back(std::move(copy));
  run_job(
      copier.workers, held.running,
      [&held] {
        if (!stop_requested()) stat_copy_source(held);
      },
      true);
  advance(copier);
}

void settle_copies(Copier& copier) {
  while (!copier.window.empty()) advance_or_wait(copier);
}

bool finish_copies(Copier& copier) {
  settle_copies(copier);
  if (!copier.batch.copies.empty()) end_batch(copier);
  return copier.ok;
}

void forget_removed_dir(Copier& copier, const Tree& tree,
                        const std::string& path) {
  forget_dir(known_of(copier, tree), path);
  note_change(copier, tree, path);
}

void finish_made_dirs(Copier& copier) {
  for (auto& [tree, known] : copier.known) close_made_dirs(*tree, known);
}

void stop_copies(Copier& copier) {
  wait_idle(copier.workers);
  end_run_status();
  for (auto& copy : copier.window) {
    if (copy->ok) drop_temp(*copy);
  }
  discard_batch(copier.batch);
  // Then the directories made for the copies that are not in place, the
  // latest copy's first.
  for (auto& copy : copier.window) close_copy(*copy);
  for (auto& copy : copier.batch.copies) close_copy(*copy);
  auto unmake = [](auto first, auto last) {
    for (; first != last; ++first) {
      PendingCopy& copy = **first;
      if (!copy.renamed) remove_made_dirs(*copy.to, copy.parent, copy.created);
      // A file it took goes back, and the directories made for it with it.
      if (copy.moved) copy.move->created = copy.created;
    }
  };
  unmake(copier.window.rbegin(), copier.window.rend());
  unmake(copier.batch.copies.rbegin(), copier.batch.copies.rend());
  // Files taken before their deletion line go back; held ones go.
  undo_moves(copier.moves);
  finish_made_dirs(copier);
  // Every copy whose line stands but which is not in place says so.
  std::string undone;
  for (auto& copy : copier.batch.copies) undone += undone_line(*copy);
  for (auto& copy : copier.window) undone += undone_line(*copy);
  report(undone);
  exit_on_signal();
}
