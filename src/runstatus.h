// runstatus.h: the status line of a whole synchronisation call on standard
// error's terminal: files and bytes done of all, the share, the time left,
// then the copy running long, drawn by one thread of its own.
#pragma once
#include <cstdint>
#include <deque>
#include <string_view>
#include <utility>
#include <vector>

#include "beneath.h"

/// One copy or deletion that a synchronisation call makes, as planned.
struct PlannedCopy {
  const Tree* from = nullptr;  // the source's tree, or the deletion's
  std::string_view path;       // below its root; outlives the call
  bool read_back = false;      // the target's drive is read back
  bool deletion = false;       // a file deleted, not copied
};

/// Work of a synchronisation: a file's steps (a copy's writing and its
/// placing count one each, a deletion half of one) and bytes written or
/// read back.
struct Work {
  double steps = 0;
  double bytes = 0;
};

/// The work done over the last part of the run: samples of seconds since
/// the start and work done so far, oldest first.
struct RateWindow {
  std::deque<std::pair<double, Work>> samples;
};

/// Adds the sample `done` at `seconds` (unless the last one is nearer than
/// a 512th of the window) and drops those that lie before the window: the
/// last twenty seconds, or the last half of the run if longer.
void add_rate_sample(RateWindow& window, double seconds, Work done);
/// Seconds that the work `left` takes, at the time per step and per byte
/// that the window's samples show (a least-squares fit); where the two
/// went together, each at half the time it would take alone.  -1 before
/// the third second, and while no work was done within the window.
std::int64_t estimate_seconds_left(const RateWindow& window, Work left);
/// Starts the line of a call that makes `copies`, in the listing's order,
/// where standard error is a terminal and there is something to copy;
/// elsewhere nothing happens.  Interrupt handling must be installed.
void start_run_status(std::vector<PlannedCopy> copies);
/// Stops the line's thread and erases the line; nothing if none runs.
void end_run_status();
/// Counts a copy of the plan as dealt with: written, or failed; `size` is
/// what its source held (0 if unknown).  Its placing counts with its
/// batch.  With `read_back` its target's drive is read back: with
/// `read_back_later` that is still to come, with the rest of its batch,
/// else it counts as done too.  On any thread.
void count_copy_done(std::uint64_t size, bool read_back, bool read_back_later);
/// Counts a deletion of the plan as dealt with.  On any thread.
void count_deletion_done();
/// Counts the copies counted so far as placed, and the read-backs of those
/// counted with `read_back_later` as done: their batch is finished.
void count_batch_done();
