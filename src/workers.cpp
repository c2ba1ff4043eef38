// workers.cpp: the pool of the synchronisation's workers.
//
// The planning thread queues jobs, each a few system calls on one file,
// and waits for their flags; the workers take the jobs in the order they
// were queued, the short ones that the planning thread waits for first.  A worker is started for each job until `limit` run, and
// all of them end with the pool.

#include "workers.h"

#include <chrono>
#include <system_error>
#include <utility>

Workers::Workers(std::size_t limit) : limit(limit < 1 ? 1 : limit) {}

Workers::~Workers() {
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  work.notify_all();
  for (std::thread& thread : threads) thread.join();
}

// Body of a worker: takes jobs until the pool ends.
static void serve(Workers& workers) {
  std::unique_lock lock(workers.mutex);
  while (true) {
    workers.work.wait(lock, [&] {
      return workers.stop || !workers.jobs.empty() || !workers.first.empty();
    });
    auto& queue = workers.first.empty() ? workers.jobs : workers.first;
    if (queue.empty()) return;
    std::function<void()> job = std::move(queue.front());
    queue.pop_front();
    ++workers.busy;
    lock.unlock();
    job();
    lock.lock();
    --workers.busy;
    workers.ended.notify_one();  // only the planning thread waits
  }
}

void run_job(Workers& workers, std::atomic<bool>& running,
             std::function<void()> job, bool first) {
  running.store(true, std::memory_order_relaxed);
  auto marked = [&running, job = std::move(job)] {
    job();
    running.store(false, std::memory_order_release);
  };
  {
    std::lock_guard lock(workers.mutex);
    std::size_t queued = workers.jobs.size() + workers.first.size();
    if (workers.threads.size() < workers.limit &&
        workers.threads.size() <= workers.busy + queued) {
      try {
        workers.threads.emplace_back(serve, std::ref(workers));
      } catch (const std::system_error&) {
      }
    }
    if (!workers.threads.empty()) {
      (first ? workers.first : workers.jobs).push_back(std::move(marked));
      workers.work.notify_one();
      return;
    }
  }
  marked();
}

void wait_until(Workers& workers, const std::function<bool()>& ready) {
  std::unique_lock lock(workers.mutex);
  while (!ready()) {
    workers.ended.wait_for(lock, std::chrono::milliseconds(100));
  }
}

void wait_idle(Workers& workers) {
  std::unique_lock lock(workers.mutex);
  workers.ended.wait(lock, [&] {
    return workers.jobs.empty() && workers.first.empty() && workers.busy == 0;
  });
}
