// runstatus.cpp: the line of a whole synchronisation call.
//
// One thread of its own draws it.  It first reads the size of every source
// that the call copies, through the tree's handle and without following a
// link, so that the bytes of all are known; then, ten times a second, it
// samples the work done and draws the line through the output's lock.  A
// copy counts whole as dealt with once its temporary file is written, or
// it failed: one that only takes a file or gives a kept one its time counts
// at once; a deletion once it is carried out.  Until then the copy's own
// status tells the bytes written so far; its read-back and its placing
// count with its batch, and the read-back so far by its status.
//
// The time left comes from two costs measured apart: the time of a file's
// steps (a copy's writing and its placing count one each, a deletion, a
// request or two, half of one) and the time of a byte
// written or read back, fitted by least squares to the samples of the last
// part of the run.  Many small files on a drive whose every request waits
// are then foretold by their count, a few large ones on a slow disk by
// their bytes.  The line counts the estimate down between samples and
// moves it towards each new one by a little, so that it stays steady.

#include "runstatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "output.h"
#include "path.h"
#include "progress.h"

namespace {

using Clock = std::chrono::steady_clock;

// The costs are fitted over the last twenty seconds at least, or the last
// half of the run; the first estimate comes after the third second.
constexpr double kRateWindow = 20;
// The most samples the window keeps, about.
constexpr double kMostSamples = 512;
constexpr double kFirstEstimate = 3;
// The share of a new estimate taken at each drawing, ten a second.
constexpr double kEstimateWeight = 0.05;

// The line of one call and its counts.
struct RunStatus {
  std::vector<PlannedCopy> copies;
  Clock::time_point start = Clock::now();
  // The copies and deletions dealt with.
  std::atomic<std::uint64_t> files_done{0};
  std::atomic<std::uint64_t> bytes_done{0};
  std::atomic<std::uint64_t> steps_done{0};  // in halves
  std::atomic<std::uint64_t> work_done{0};  // bytes written or read back
  // Counted when their batch is finished.
  std::atomic<std::uint64_t> steps_pending{0};
  std::atomic<std::uint64_t> read_backs_pending{0};
  LiveWork live;  // what the copies running count so far
  // The drawing thread's own.
  bool all_sized = false;
  std::uint64_t bytes = 0;  // of all sources
  Work all;                 // of all copies and deletions
  std::uint64_t bytes_shown = 0;
  Work seen;
  RateWindow rate;
  double estimate = -1;  // seconds left as last shown, -1: none yet
  double estimated_at = 0;  // when, in seconds since the start
  std::jthread thread;
};

// The call's line; set and cleared while no copy runs.
std::unique_ptr<RunStatus> active;

}  // namespace

void add_rate_sample(RateWindow& window, double seconds, Work done) {
  auto& samples = window.samples;
  double span = std::max(kRateWindow, seconds / 2);
  // Evenly spread, at most about kMostSamples over the window: the fit
  // costs as much in the tenth hour of a run as in its first minute.
  if (samples.size() >= 2 &&
      seconds - samples.back().first < span / kMostSamples) {
    return;
  }
  samples.emplace_back(seconds, done);
  double from = seconds - span;
  while (samples.size() > 2 && samples[1].first <= from) samples.pop_front();
}

// The sums of the products of the centred samples: time per step and per
// byte as a least-squares fit.
struct Sums {
  double ss = 0, bb = 0, sb = 0, st = 0, bt = 0;
};

static Sums centred_sums(const RateWindow& window) {
  double n = static_cast<double>(window.samples.size());
  // Summed first, divided once: a count that did not move is its own mean
  // exactly, and its centred sums are zero, not rounding noise.
  double t0 = 0, s0 = 0, b0 = 0;
  for (const auto& [t, done] : window.samples) {
    t0 += t;
    s0 += done.steps;
    b0 += done.bytes;
  }
  t0 /= n;
  s0 /= n;
  b0 /= n;
  Sums sums;
  for (const auto& [t, done] : window.samples) {
    double dt = t - t0, ds = done.steps - s0, db = done.bytes - b0;
    sums.ss += ds * ds;
    sums.bb += db * db;
    sums.sb += ds * db;
    sums.st += ds * dt;
    sums.bt += db * dt;
  }
  return sums;
}

// Seconds that `left` takes at a fitted time per step and per byte; -1
// where the samples cannot tell the two apart, or one comes out negative.
static double fitted_seconds(const Sums& sums, Work left) {
  double det = sums.ss * sums.bb - sums.sb * sums.sb;
  if (sums.ss <= 0 || sums.bb <= 0 || det <= 0.01 * sums.ss * sums.bb) {
    return -1;
  }
  double per_step = (sums.st * sums.bb - sums.bt * sums.sb) / det;
  double per_byte = (sums.bt * sums.ss - sums.st * sums.sb) / det;
  if (per_step < 0 || per_byte < 0) return -1;
  return per_step * left.steps + per_byte * left.bytes;
}

std::int64_t estimate_seconds_left(const RateWindow& window, Work left) {
  const auto& samples = window.samples;
  if (samples.size() < 2 || samples.back().first < kFirstEstimate) return -1;
  Sums sums = centred_sums(window);
  double seconds = fitted_seconds(sums, left);
  if (seconds >= 0) return std::llround(seconds);
  // Steps and bytes went together, or only one of them went: each takes
  // an equal part of the time, or the one that went all of it.
  double per_step = sums.ss > 0 ? sums.st / sums.ss : 0;
  double per_byte = sums.bb > 0 ? sums.bt / sums.bb : 0;
  if (per_step < 0 || per_byte < 0 || per_step + per_byte <= 0) return -1;
  double part = sums.ss > 0 && sums.bb > 0 ? 0.5 : 1;
  return std::llround(part * (per_step * left.steps + per_byte * left.bytes));
}

// The seconds left to show at `now`: the last shown, counted down, moved
// a little towards `fresh`; -1 while there is none.
static std::int64_t steady_estimate(RunStatus& run, double now,
                                    std::int64_t fresh) {
  if (fresh < 0) return run.estimate < 0 ? -1 : std::llround(run.estimate);
  if (run.estimate < 0) {
    run.estimate = static_cast<double>(fresh);
  } else {
    double counted = std::max(0.0, run.estimate - (now - run.estimated_at));
    run.estimate = counted + kEstimateWeight * (fresh - counted);
  }
  run.estimated_at = now;
  return std::llround(run.estimate);
}

// Samples the work done and, once the call has run long enough, draws the
// line.  On the drawing thread.
static void tick(RunStatus& run) {
  Clock::time_point now = Clock::now();
  double seconds = std::chrono::duration<double>(now - run.start).count();
  // A copy's bytes leave the running ones before they are counted whole:
  // read in this order, they are never counted twice.
  std::uint64_t bytes = run.bytes_done.load();
  bytes += run.live.written.load();
  std::uint64_t work = run.work_done.load();
  work += run.live.work.load();
  run.seen.steps =
      std::max(run.seen.steps, run.steps_done.load() / 2.0);
  run.seen.bytes = std::max(run.seen.bytes, static_cast<double>(work));
  add_rate_sample(run.rate, seconds, run.seen);
  if (now - run.start < kCopyDelay) return;
  RunFigures figures;
  figures.files = run.copies.size();
  figures.files_done = std::min<std::uint64_t>(run.files_done, figures.files);
  figures.sized = run.all_sized;
  if (run.all_sized) {
    run.bytes_shown = std::min(std::max(run.bytes_shown, bytes), run.bytes);
    figures.bytes_done = run.bytes_shown;
    figures.bytes = run.bytes;
    Work left{std::max(0.0, run.all.steps - run.seen.steps),
              std::max(0.0, run.all.bytes - run.seen.bytes)};
    figures.seconds_left = steady_estimate(
        run, seconds, estimate_seconds_left(run.rate, left));
  }
  show_run_status([&](const CopyStatus* current) {
    return run_status_text(figures, current, status_width());
  });
}

// The size of the regular file `name` in `dir_fd`; 0 where there is none.
static std::uint64_t size_in(int dir_fd, const std::string& name) {
  struct stat st;
  if (dir_fd < 0 ||
      fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode)) {
    return 0;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

// Reads the size of every planned copy's source in turn into the totals,
// ticking on time between them; false where a stop came first.
static bool size_sources(std::stop_token stop, RunStatus& run) {
  int dir_fd = -1;
  const Tree* tree = nullptr;
  std::string dir;
  Clock::time_point next = run.start;
  for (std::size_t i = 0; i < run.copies.size() && !stop.stop_requested();
       ++i) {
    if (run.copies[i].deletion) {
      run.all.steps += 0.5;
      continue;
    }
    std::string path(run.copies[i].path);
    // Neighbours in the listing often share their directory.
    if (tree != run.copies[i].from || dir != parent_of(path)) {
      if (dir_fd >= 0) close(dir_fd);
      tree = run.copies[i].from;
      dir = parent_of(path);
      dir_fd = open_beneath(*tree, dir);
    }
    std::uint64_t size = size_in(dir_fd, name_of(path));
    run.bytes += size;
    run.all.steps += 2;
    run.all.bytes +=
        static_cast<double>(size * (run.copies[i].read_back ? 2 : 1));
    if (Clock::now() >= next) {
      tick(run);
      next = Clock::now() + kRedrawPause;
    }
  }
  if (dir_fd >= 0) close(dir_fd);
  if (stop.stop_requested()) return false;
  run.all_sized = true;
  return true;
}

// Body of the drawing thread, until a stop is requested.
static void draw_run_status(std::stop_token stop, RunStatus& run) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  try {
    if (!size_sources(stop, run)) return;
    while (!stop.stop_requested()) {
      tick(run);
      wake.wait_for(lock, stop, kRedrawPause, [] { return false; });
    }
  } catch (const std::exception&) {
    // Out of memory for a line of text: the copies go on without it.
  }
}

void start_run_status(std::vector<PlannedCopy> copies) {
  if (active || copies.empty() || !status_line_wanted()) return;
  try {
    auto run = std::make_unique<RunStatus>();
    run->copies = std::move(copies);
    run->thread = std::jthread(draw_run_status, std::ref(*run));
    begin_run_line(run->live);
    active = std::move(run);
  } catch (const std::exception&) {
    // No memory or no thread to spare: each long copy shows its own line.
  }
}

void end_run_status() {
  if (!active) return;
  active->thread.request_stop();
  active->thread.join();
  end_run_line();
  active.reset();
}

void count_copy_done(std::uint64_t size, bool read_back, bool read_back_later) {
  RunStatus* run = active.get();
  if (run == nullptr) return;
  std::uint64_t back = read_back ? size : 0;
  if (read_back_later) run->read_backs_pending += back;
  run->bytes_done += size;
  run->work_done += size + (read_back_later ? 0 : back);
  run->steps_pending += 2;
  run->steps_done += 2;
  ++run->files_done;
}

void count_deletion_done() {
  RunStatus* run = active.get();
  if (run == nullptr) return;
  ++run->steps_done;
  ++run->files_done;
}

void count_batch_done() {
  RunStatus* run = active.get();
  if (run == nullptr) return;
  run->work_done += run->read_backs_pending.exchange(0);
  run->steps_done += run->steps_pending.exchange(0);
}
