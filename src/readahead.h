// readahead.h: worker threads that read a tree's directories ahead of the
// merge that replays them, within a window of directories.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "dirread.h"

/// Orders queued directories as the depth-first merge will enter them.
struct WalkOrder {
  bool operator()(const Node* a, const Node* b) const {
    return a->place < b->place;
  }
};

/// Shared by the merge of one tree and its workers.
struct ReadAhead {
  std::mutex mutex;
  std::condition_variable work;  // a directory was queued, or stop
  std::condition_variable done;  // a directory was read
  std::set<Node*, WalkOrder> queue;
  std::size_t outstanding = 0;  // queued or read, not yet entered
  std::size_t window = 0;       // most directories outstanding
  bool stop = false;
  std::vector<std::thread> workers;
  // The merge's own: the workers it may still start, and where it last
  // looked whether it waits.
  int more_workers = 0;
  std::chrono::nanoseconds wall_mark{}, cpu_mark{};
};

/// Sets up reading ahead in the tree of `root_fd`; true where workers run.
bool begin_read_ahead(ReadAhead& ahead, int root_fd, bool alone);
/// Starts workers if the merge is seen waiting; true where any run.
bool add_workers_if_waiting(ReadAhead& ahead);
/// Queues the next directories in walk order from the merge's `innermost` up.
void queue_ahead(ReadAhead& ahead, Node& innermost);
/// Makes sure `node` has been read, by a worker or here (`ahead` null: here).
void obtain(ReadAhead* ahead, Node& node, char* buffer);
/// Stops the workers once they have finished the directory in hand.
void stop_workers(ReadAhead& ahead);
