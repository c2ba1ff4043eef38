// runstatus.cpp: the line of a whole synchronisation call.
//
// One thread of its own draws it.  It first reads the size of every source
// that the call copies, through the tree's handle and without following a
// link, so that the bytes of all are known; then, ten times a second, it
// samples the work done and draws the line through the output's lock.  A
// copy counts whole as dealt with once its temporary file is written, or
// it failed: one that only takes a file or gives a kept one its time counts
// at once.  Until then the copy's own status tells the bytes written so far;
// its read-back counts with its batch, and so far by its status.  The work
// is the bytes written, the bytes read back and a share for each file's own
// steps; its pace over the last twenty seconds gives the time left.

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

// The pace is taken over this many seconds, the first estimate after the
// third.
constexpr double kRateWindow = 20;
constexpr double kFirstEstimate = 3;
// A file's own steps (creating, renaming, making durable) in bytes' worth.
constexpr std::uint64_t kFileWork = 64 << 10;

// The line of one call and its counts.
struct RunStatus {
  std::vector<PlannedCopy> copies;
  Clock::time_point start = Clock::now();
  // The copies dealt with.
  std::atomic<std::uint64_t> read_backs_pending{0};
  std::atomic<std::uint64_t> files_done{0};
  std::atomic<std::uint64_t> bytes_done{0};
  std::atomic<std::uint64_t> work_done{0};
  LiveWork live;  // what the copies running count so far
  // The drawing thread's own.
  bool all_sized = false;
  std::uint64_t bytes = 0;  // of all sources
  std::uint64_t work = 0;   // of all copies
  std::uint64_t bytes_shown = 0;
  std::uint64_t work_seen = 0;
  RateWindow rate;
  std::jthread thread;
};

// The call's line; set and cleared while no copy runs.
std::unique_ptr<RunStatus> active;

}  // namespace

void add_rate_sample(RateWindow& window, double seconds, std::uint64_t work) {
  auto& samples = window.samples;
  samples.emplace_back(seconds, work);
  while (samples.size() > 2 && samples[1].first <= seconds - kRateWindow) {
    samples.pop_front();
  }
}

std::int64_t estimate_seconds_left(const RateWindow& window,
                                   std::uint64_t left) {
  const auto& samples = window.samples;
  if (samples.size() < 2 || samples.back().first < kFirstEstimate) return -1;
  auto [first_time, first_work] = samples.front();
  auto [last_time, last_work] = samples.back();
  if (last_work <= first_work || last_time <= first_time) return -1;
  double pace =
      static_cast<double>(last_work - first_work) / (last_time - first_time);
  return std::llround(static_cast<double>(left) / pace);
}

// Samples the work done and, once the call has run long enough, draws the
// line.  On the drawing thread.
static void tick(RunStatus& run) {
  Clock::time_point now = Clock::now();
  // A copy's bytes leave the running ones before they are counted whole:
  // read in this order, they are never counted twice.
  std::uint64_t bytes = run.bytes_done.load();
  bytes += run.live.written.load();
  std::uint64_t work = run.work_done.load();
  work += run.live.work.load();
  run.work_seen = std::max(run.work_seen, work);
  add_rate_sample(run.rate,
                  std::chrono::duration<double>(now - run.start).count(),
                  run.work_seen);
  if (now - run.start < kCopyDelay) return;
  RunFigures figures;
  figures.files = run.copies.size();
  figures.files_done = std::min<std::uint64_t>(run.files_done, figures.files);
  figures.sized = run.all_sized;
  if (run.all_sized) {
    run.bytes_shown = std::min(std::max(run.bytes_shown, bytes), run.bytes);
    figures.bytes_done = run.bytes_shown;
    figures.bytes = run.bytes;
    figures.seconds_left = estimate_seconds_left(
        run.rate, run.work > run.work_seen ? run.work - run.work_seen : 0);
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
    run.work += size * (run.copies[i].read_back ? 2 : 1) + kFileWork;
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
  run->work_done += size + kFileWork + (read_back_later ? 0 : back);
  ++run->files_done;
}

void count_read_backs_done() {
  RunStatus* run = active.get();
  if (run != nullptr) run->work_done += run->read_backs_pending.exchange(0);
}
