// workers.h: a small pool of threads that carry out system calls for the
// thread that plans the synchronisation and hand back their results.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

/// Threads that run queued jobs, started as jobs come, at most `limit`.
struct Workers {
  explicit Workers(std::size_t limit);
  ~Workers();
  std::size_t limit;
  std::mutex mutex;
  std::condition_variable work;  // a job was queued, or the pool ends
  std::condition_variable ended;  // a job ended
  std::deque<std::function<void()>> jobs;
  std::deque<std::function<void()>> first;  // taken before `jobs`
  std::size_t busy = 0;  // jobs taken and not yet ended
  bool stop = false;
  std::vector<std::thread> threads;
};

/// Queues `job` for a worker (before the other jobs with `first`);
/// `running` is true until it has ended.  Where no thread can be started,
/// it runs here and now.
void run_job(Workers& workers, std::atomic<bool>& running,
             std::function<void()> job, bool first = false);
/// Waits until `ready` holds, asking again after each ended job and every
/// tenth of a second, so that a stop request is seen.
void wait_until(Workers& workers, const std::function<bool()>& ready);
/// Waits until no job is queued or running.
void wait_idle(Workers& workers);
