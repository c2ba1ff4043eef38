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

/// One copy that a synchronisation call makes, as planned.
struct PlannedCopy {
  const Tree* from = nullptr;  // the source's tree
  std::string_view path;       // below its root; outlives the call
  bool read_back = false;      // the target's drive is read back
};

/// The work done over the last seconds: samples of (seconds since the
/// start, work done so far), oldest first.
struct RateWindow {
  std::deque<std::pair<double, std::uint64_t>> samples;
};

/// Adds the sample `work` at `seconds` and drops those that lie before the
/// window, keeping the last one before it as its start.
void add_rate_sample(RateWindow& window, double seconds, std::uint64_t work);
/// Seconds that `left` more work takes at the window's pace; -1 before the
/// third second, and while no work was done within the window.
std::int64_t estimate_seconds_left(const RateWindow& window,
                                   std::uint64_t left);
/// Starts the line of a call that makes `copies`, in the listing's order,
/// where standard error is a terminal and there is something to copy;
/// elsewhere nothing happens.  Interrupt handling must be installed.
void start_run_status(std::vector<PlannedCopy> copies);
/// Stops the line's thread and erases the line; nothing if none runs.
void end_run_status();
/// Counts a copy of the plan as dealt with: written, or failed; `size` is
/// what its source held (0 if unknown).  With `read_back` its target's
/// drive is read back: with `read_back_later` that is still to come, with
/// the rest of its batch, else it counts as done too.  On any thread.
void count_copy_done(std::uint64_t size, bool read_back, bool read_back_later);
/// Counts the read-backs of the copies counted with `read_back_later` as
/// done: their batch is finished.
void count_read_backs_done();
