// readahead.cpp: worker threads that read a tree's directories ahead of the
// merge that replays them.
//
// When the merge enters a directory, its subdirectories are queued, and a
// worker opens and reads one while the merge is busy elsewhere; a directory
// read has its own subdirectories queued in turn.  Workers take the queued
// directory that the depth-first merge will enter first.  A window of
// directories is read ahead, each holding its listing and its open
// descriptor until the merge enters it, so neither memory nor descriptors
// grow with the width of the tree; the window is sized from the limit of
// open files.  When the merge reaches a directory that no worker has taken
// yet, it reads it itself; when a worker is still reading it, the merge
// reads other queued ones meanwhile and then waits for it.
//
// Two workers per tree to begin with, measured on two cores: with cold
// caches they keep a local disk busy; with warm ones the two trees already
// fill both cores and the workers only cost.  So where the walks fill every
// core the process may use, the workers start only once the merge is seen
// waiting.  On a network or FUSE file system every listing is a round trip,
// and the merge keeps waiting: the number of workers then doubles, window by
// window, up to kMaxWorkers.  On a local disk more than the first workers
// gained nothing, cold or warm.

#include "readahead.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <system_error>

#include "fskind.h"
#include "handles.h"

namespace {

// Directories read ahead of the merge, at most, per tree; fewer where the
// limit of open files asks for it.
// These can be set when building, for measurements and tests.
#ifndef KALVERN_SCAN_WINDOW
#define KALVERN_SCAN_WINDOW 1024
#endif
constexpr std::size_t kMaxWindow = KALVERN_SCAN_WINDOW;
#ifndef KALVERN_SCAN_WORKERS
#define KALVERN_SCAN_WORKERS 2
#endif
#ifndef KALVERN_SCAN_MAX_WORKERS
#define KALVERN_SCAN_MAX_WORKERS 32
#endif
// 1: the workers start with the walk, whatever the cores, and grow on any
// file system (for tests).
#ifndef KALVERN_SCAN_WORKERS_AT_ONCE
#define KALVERN_SCAN_WORKERS_AT_ONCE 0
#endif
// Worker threads per tree that read ahead of the merge, at first and at
// most.
constexpr int kWorkers = KALVERN_SCAN_WORKERS;
constexpr int kMaxWorkers = KALVERN_SCAN_MAX_WORKERS;
// Where the walks already fill every core, workers start only once the
// merge is seen waiting: off the processor for more than half of a window
// of kWaitWindow or more, looked at as it enters each directory.  While it
// keeps waiting, window after window, the workers double.
constexpr std::chrono::nanoseconds kWaitWindow = std::chrono::milliseconds(20);

}  // namespace

// Takes the queued directory that the merge will enter first, if any, for
// reading; under the lock.
static Node* take_queued(ReadAhead& ahead) {
  if (ahead.queue.empty()) return nullptr;
  Node* node = *ahead.queue.begin();
  ahead.queue.erase(ahead.queue.begin());
  node->state = Node::Reading;
  return node;
}

// Queues the subdirectories of `node` from its `entered`th on, while the
// window has room; under the lock.  Gives how many it queued.
static std::size_t queue_children(ReadAhead& ahead, Node& node,
                                  std::size_t entered) {
  std::size_t queued = 0;
  node.next_queued = std::max(node.next_queued, entered);
  while (ahead.outstanding < ahead.window &&
         node.next_queued < node.children.size()) {
    Node* child = node.children[node.next_queued++].get();
    child->state = Node::Queued;
    ahead.queue.insert(child);
    ++ahead.outstanding;
    ++queued;
  }
  return queued;
}

// Takes queued directories and reads them until told to stop.  A directory
// read has its own subdirectories queued in turn, so that reading ahead goes
// deeper than the merge has come.
static void work(ReadAhead& ahead) {
  auto buffer = std::make_unique<char[]>(kListingBufferSize);
  std::unique_lock lock(ahead.mutex);
  while (true) {
    ahead.work.wait(lock, [&] { return ahead.stop || !ahead.queue.empty(); });
    if (ahead.stop) return;
    Node* node = take_queued(ahead);
    lock.unlock();
    read_node(*node, buffer.get());
    lock.lock();
    node->state = Node::Read;
    ahead.done.notify_one();
    if (queue_children(ahead, *node, 0) > 0) ahead.work.notify_one();
  }
}

// Starts up to `count` workers; as many as the system gives.
static void start_workers(ReadAhead& ahead, int count) {
  for (int i = 0; i < count; ++i) {
    try {
      ahead.workers.emplace_back(work, std::ref(ahead));
    } catch (const std::system_error&) {
      break;
    }
  }
}

// Stops the workers once they have finished the directory in hand.
void stop_workers(ReadAhead& ahead) {
  {
    std::lock_guard lock(ahead.mutex);
    ahead.stop = true;
  }
  ahead.work.notify_all();
  for (std::thread& worker : ahead.workers) worker.join();
  ahead.workers.clear();
}

// Queues the subdirectories next in walk order, while the window has room:
// those of the innermost directory first, then those of the ones above.
void queue_ahead(ReadAhead& ahead, Node& innermost) {
  std::size_t queued = 0;
  {
    std::lock_guard lock(ahead.mutex);
    for (Node* node = &innermost; node != nullptr; node = node->parent) {
      queued += queue_children(ahead, *node, node->next_child);
    }
  }
  if (queued == 1) ahead.work.notify_one();
  if (queued > 1) ahead.work.notify_all();
}

// Makes sure `node` has been read, by a worker or here (all here where
// `read_ahead` is null).  While a worker is still reading it, the merge reads
// the next queued directories itself, and waits only when there are none.
void obtain(ReadAhead* read_ahead, Node& node, char* buffer) {
  bool read_here = true;
  if (read_ahead != nullptr) {
    ReadAhead& ahead = *read_ahead;
    std::unique_lock lock(ahead.mutex);
    if (node.state != Node::Waiting) --ahead.outstanding;
    if (node.state == Node::Queued) {
      // Taken from the queue here, so that no worker meets it after the
      // merge has left it and it is gone.
      ahead.queue.erase(&node);
    }
    while (node.state == Node::Reading) {
      Node* other = take_queued(ahead);
      if (other == nullptr) {
        ahead.done.wait(lock, [&] { return node.state == Node::Read; });
        break;
      }
      lock.unlock();
      read_node(*other, buffer);
      lock.lock();
      other->state = Node::Read;
    }
    read_here = node.state != Node::Read;
    node.state = Node::Read;
  }
  if (read_here) read_node(node, buffer);
}

// The processors this process may run on.
static int usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The time this thread has spent on the processor.
static std::chrono::nanoseconds thread_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec);
}

static std::chrono::nanoseconds wall_time() {
  return std::chrono::steady_clock::now().time_since_epoch();
}

// Starts workers once the merge is seen waiting (for the disk, the network
// or the processor), where reading ahead pays, and doubles them while it
// keeps waiting, as far as `more_workers` allows; true where any run.  The
// window is long enough that the short stalls of a warm walk do not count:
// early on, both trees' tables grow and give back memory, and each such
// change stops the other tree's thread for a moment.
bool add_workers_if_waiting(ReadAhead& pool) {
  if (pool.more_workers <= 0) return false;
  std::chrono::nanoseconds wall = wall_time();
  std::chrono::nanoseconds passed = wall - pool.wall_mark;
  if (passed < kWaitWindow) return false;
  std::chrono::nanoseconds cpu = thread_cpu_time();
  std::chrono::nanoseconds waited = passed - (cpu - pool.cpu_mark);
  pool.wall_mark = wall;
  pool.cpu_mark = cpu;
  if (waited * 2 < passed) return false;
  int running = static_cast<int>(pool.workers.size());
  int count = std::min(pool.more_workers, std::max(running, kWorkers));
  int remaining = pool.more_workers - count;
  start_workers(pool, count);
  int started = static_cast<int>(pool.workers.size()) - running;
  // Where the system gives no more threads, none are asked for again.
  pool.more_workers = started == count ? remaining : 0;
  return !pool.workers.empty();
}

// Directories that one tree may read ahead: a quarter of the open files the
// process may hold beyond a reserve, so that the two trees' windows, their
// workers and their descents fit, and the limit never strikes because of
// reading ahead.
static std::size_t window_of_process() {
  return std::min<std::size_t>(open_files_share(256, 4, 16), kMaxWindow);
}

// Sizes the window, starts the first workers where the cores allow (`alone`:
// no other scan runs beside this one), and sets how far they may grow.
bool begin_read_ahead(ReadAhead& ahead, int root_fd, bool alone) {
  ahead.window = window_of_process();
  if (KALVERN_SCAN_WORKERS_AT_ONCE || usable_cores() > (alone ? 1 : 2)) {
    start_workers(ahead, kWorkers);
  }
  // Beyond the first workers, more pay only where each listing waits for
  // a round trip; on a local disk they only crowd it.
  bool grows = KALVERN_SCAN_WORKERS_AT_ONCE || is_round_trip_fs(root_fd);
  int most = grows ? kMaxWorkers : kWorkers;
  ahead.more_workers =
      std::max(0, most - static_cast<int>(ahead.workers.size()));
  ahead.wall_mark = wall_time();
  ahead.cpu_mark = thread_cpu_time();
  return !ahead.workers.empty();
}
