// copier.h: copies planned by one thread in the listing's order and carried
// out by many, with the outcome of making them one after the other.
#pragma once
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "batch.h"
#include "beneath.h"
#include "pendingcopy.h"
#include "madedirs.h"
#include "moves.h"
#include "workers.h"

/// A directory that the run made or removed, the `count`th such change.
struct DirChange {
  std::uint64_t count = 0;
  const Tree* tree = nullptr;
  std::string path;
};

/// The copies of one synchronisation call, from their progress lines to
/// their renames.
struct Copier {
  Copier(std::size_t in_flight, bool reuse);
  std::size_t in_flight;  // most system calls carried out at once
  std::size_t ahead;      // most copies queued and not yet given a batch
  Workers workers;
  std::deque<std::unique_ptr<PendingCopy>> window;  // queued, in order
  std::size_t placed = 0;     // copies at the window's front given a batch
  bool wants_front = false;   // the next copy waits for all before it
  Batch batch;
  std::vector<std::pair<const Tree*, KnownDirs>> known;
  std::deque<DirChange> changes;  // those a copy not yet placed may not know
  std::uint64_t change_count = 0;  // directories made or removed so far
  bool ok = true;             // no copy has failed
  bool reuse = true;          // bytes the target tree holds are not written
  Moves moves;                // deleted files that copies may take
  // Each tree's directories that held a scanned file; none: every
  // directory found where a copy needs one may be used.
  std::vector<std::pair<const Tree*, const std::unordered_set<std::string>*>>
      scanned;
};

/// Operations carried out at once between `left` and `right` unless told
/// otherwise: more where a tree lies behind a network, whose requests each
/// wait for a round trip.
std::size_t default_in_flight(const Tree& left, const Tree& right);
/// Prints the progress line of a copy of `relative_path` from `from` to
/// `to` (as a new file with `create`) and queues it; the trees must
/// outlive the copier.  The inodes are those the scan saw of the source
/// and of the target it replaces (0: not known).
void queue_copy(Copier& copier, const Tree& from, const Tree& to,
                const std::string& relative_path, bool create,
                std::uint64_t source_inode = 0, std::uint64_t target_inode = 0);
/// Waits until every queued copy has written its temporary file or failed,
/// with its failures written out and the directories it made for nothing
/// removed again.
void settle_copies(Copier& copier);
/// Settles the copies and makes their batch durable and visible; false if
/// any copy so far failed.
bool finish_copies(Copier& copier);
/// Forgets directory `path` of `tree`, which a deletion removed.
void forget_removed_dir(Copier& copier, const Tree& tree,
                        const std::string& path);
/// Gives the directories made for the copies that wait for it their mode,
/// once no more copies go into them.
void finish_made_dirs(Copier& copier);
/// After a signal: waits for the system calls in flight, removes every
/// temporary file of the copier, tells of each copy whose line stands but
/// which is not in place that it was not made, and ends the program.
[[noreturn]] void stop_copies(Copier& copier);
