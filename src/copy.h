// copy.h: the durable copy of one file from one tree into the other, in
// batches that are made durable before any of their files becomes visible.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "beneath.h"

/// One copy of a batch, from its start to its rename.
struct PendingCopy {
  std::string relative_path;   // below both roots
  std::string source;          // the source's full path, for messages
  std::string target;          // the target's full path, for messages
  std::string name;            // the target's name in its directory
  std::string temp;            // the temporary file's name beside it
  std::string parent;          // the target's directory below its root
  std::string created;         // the first directory the copy made, or ""
  const Tree* from = nullptr;  // the source's tree
  const Tree* to = nullptr;    // the target's tree
  std::size_t slot = 0;        // its place in the interrupt handler's list
  int dir_fd = -1;             // the target's directory, owned
  int out = -1;                // the temporary file, open until the batch ends
  dev_t device = 0;            // the target's file system
  struct stat source_st {};    // the source as it was copied
  std::int64_t slack = 0;      // seconds that times may differ by, yet match
  bool create = false;         // a one-sided file: it replaces nothing
  bool renamed = false;        // it stands at the target's path
  bool ok = true;              // no step has failed
  bool deferred = false;       // put off to the next batch, for want of room
};

struct CopyWorkers;  // the threads of a batch's copies, in copy.cpp

/// The copies whose temporary files are being written or are written, but
/// not yet in place.
struct Batch {
  std::vector<PendingCopy> copies;       // in the order of their progress lines
  std::atomic<off_t> bytes = 0;          // written into the temporary files
  std::atomic<bool> deferred = false;    // a copy was put off for want of room
  std::atomic<std::size_t> started = 0;  // copies begun in this batch
  std::unique_ptr<CopyWorkers> workers;
  Batch();
  ~Batch();
};

/// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT remove the temporary files of
/// the running batch before the program ends.
void install_interrupt_handlers();
/// Prints the progress line of a copy of `relative_path` from `from` to
/// `to` and starts writing its temporary file into `batch`, on a worker,
/// finishing the batch first where it is full; false if a finished copy
/// failed.  The trees must outlive the batch.
bool queue_copy(Batch& batch, const Tree& from, const Tree& to,
                const std::string& relative_path, bool create_parents);
/// Runs `job` on one of the workers of `batch` (here, where none can start).
void run_job(Batch& batch, std::function<void()> job);
/// Waits until the copies started in `batch` have written their temporary
/// files, or failed, and every job run on its workers is done.
void wait_for_copies(Batch& batch);
/// Makes the copies of `batch` durable and visible, then empties it; false
/// if any of them failed.
bool finish_batch(Batch& batch);
/// Copies `relative_path` of `from` over (or, with `create_parents`, as a
/// new file into) `to`, with its time; false if any step failed.
bool copy_with_timestamp(const Tree& from, const Tree& to,
                         const std::string& relative_path, bool create_parents);
/// Prints the progress line of a copy of `relative_path` from `from` to
/// `to` and reports it refused for `reason`, copying nothing; false.
bool refuse_copy(const Tree& from, const Tree& to,
                 const std::string& relative_path, const std::string& reason);
/// Writes `line` to standard output at once; a failed write is noticed for
/// the end of the run.
void say(const std::string& line);
/// Reports "Fehler beim <action> <path>: <system message>"; returns false.
bool failed(const char* action, const std::string& path, int error);
