// copy.cpp: the durable copy of one file into a tree, in batches.
//
// A copy writes a temporary file beside the target, gives it the source's
// permission bits and modification time and renames it into place, so a copy
// that fails leaves the old target byte for byte as it was.  An update
// replaces the target only while it is still older than the source, in whole
// seconds; a copy of a one-sided file never replaces anything that stands at
// the target path.
//
// Copies go in batches, so that a power cut never leaves a renamed file
// without its content: the temporary files of a batch are written one after
// the other (each with its progress line), then made durable together (one
// syncfs per file system, or an fsync each for a small batch), then checked
// once more and renamed, and at last the directories they were renamed in are
// made durable.  A batch ends at a number of files, of bytes, or where the
// next file would not fit beside the temporary files on its file system.

#include "copy.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "fskind.h"
#include "path.h"
#include "progress.h"

namespace {

// Most copies in one batch: each keeps its temporary file and its target's
// directory open until the batch is renamed into place.
constexpr std::size_t kBatchFiles = 256;
// Most bytes written into the temporary files of one batch.
constexpr off_t kBatchBytes = off_t{512} << 20;
// A batch of at most this many copies is made durable by an fsync of each
// file; a larger one by one syncfs per file system.
constexpr std::size_t kFsyncEachMax = 4;
// Copies whose steps are carried out at once, by as many threads: on a
// network file system each step waits for a round trip.  Can be set when
// building, for measurements and tests.
#ifndef KALVERN_COPIES_IN_FLIGHT
#define KALVERN_COPIES_IN_FLIGHT 16
#endif
constexpr std::size_t kCopiesInFlight = KALVERN_COPIES_IN_FLIGHT;

// A temporary file of the running batch, for the interrupt handler to
// remove.  A signal handler can reach nothing but global state.
struct PendingTemp {
  volatile std::sig_atomic_t active = 0;
  int dir_fd = -1;
  char name[64] = {};
};
PendingTemp pending_temps[kBatchFiles];

const char kNotOlder[] = "Ziel ist nicht älter als die Quelle";
// Bytes handed to the kernel per copy call: small enough for a status line
// to move during a large copy.
constexpr std::size_t kKernelChunk = 64 << 20;
const char kTimeNotKept[] = "Das Dateisystem hat eine andere Zeit gespeichert";
const char kTimeNotHeld[] = "Das Dateisystem kann diese Zeit nicht speichern";
const char kSourceChanged[] = "Quelle wurde während des Kopierens geändert";

// Standard output, standard error and the status line are written by one
// thread at a time.  Of the copies running at once, one shows its status
// line: the first that runs long enough, until it ends.
std::mutex output_mutex;
CopyStatus* status_owner = nullptr;

}  // namespace

// Erases the status line of a copy before other output; the copy draws it
// again at its next chunk.  Under output_mutex.
static void hide_status() {
  if (status_owner != nullptr) erase_status(status_owner->line);
}

// A copy's progress: drawn only by the copy that owns the status line.
static void show_copy_status(CopyStatus& status, std::uint64_t copied) {
  std::lock_guard lock(output_mutex);
  if (status_owner != nullptr && status_owner != &status) return;
  update_copy_status(status, copied);
  if (status.line.shown) status_owner = &status;
}

// Ends a copy's progress, erasing its line if it owns it.
static void end_shown_status(CopyStatus& status) {
  std::lock_guard lock(output_mutex);
  if (status_owner != &status) return;
  end_copy_status(status);
  status_owner = nullptr;
}

// Writes `message` to standard error, after the status line is erased.
static void report(const std::string& message) {
  std::lock_guard lock(output_mutex);
  hide_status();
  report_error(message);
}

extern "C" void remove_temp_and_exit(int signal_number) {
  for (const PendingTemp& temp : pending_temps) {
    if (temp.active) unlinkat(temp.dir_fd, temp.name, 0);
  }
  _exit(128 + signal_number);
}

// SIGINT, SIGTERM, SIGHUP and SIGQUIT remove the temporary files of a batch
// before the program ends; a file size limit makes writes fail instead of
// killing it.
void install_interrupt_handlers() {
  struct sigaction action {};
  action.sa_handler = remove_temp_and_exit;
  sigfillset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal_number, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
}

static void set_pending_temp(std::size_t slot, int dir_fd, const char* name) {
  PendingTemp& temp = pending_temps[slot];
  temp.active = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  temp.dir_fd = dir_fd;
  std::snprintf(temp.name, sizeof temp.name, "%s", name);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  temp.active = 1;
}

static void clear_pending_temp(std::size_t slot) {
  pending_temps[slot].active = 0;
}

// A line on standard output, written out at once; a failed write is noticed
// for the end of the run.
void say(const std::string& line) {
  std::lock_guard lock(output_mutex);
  hide_status();
  std::cout << line;
  output_error();
}

static bool copy_failed(const std::string& source, const std::string& target,
                        const std::string& reason) {
  report("Fehler beim Kopieren von " + quoted_path(source, 2) + " nach " +
         quoted_path(target, 2) + ": " + reason + "\n");
  return false;
}

// Reports a failed operation on `path`: "Fehler beim <action> <path>: <system
// message>"; returns false for the caller to pass on.
bool failed(const char* action, const std::string& path, int error) {
  std::string reason = std::strerror(error);
  report(std::string("Fehler beim ") + action + " " + quoted_path(path, 2) +
         ": " + reason + "\n");
  return false;
}

// The target's parent directory below its root, created with every missing
// ancestor when `create` is set, the first one made in `created`; reports
// its own failures.
static int open_target_dir(const Tree& to, const std::string& relative_path,
                           bool create, std::string& created,
                           const std::string& source,
                           const std::string& target) {
  std::string parent = parent_of(relative_path);
  created.clear();
  int fd = open_beneath(to, parent);
  if (fd >= 0) return fd;
  if (create && !is_refused_path(errno) && to.fd >= 0) {
    std::string reached;
    fd = open_components(to.fd, parent, true, reached, &created);
    if (fd >= 0) return fd;
    int error = errno;
    remove_created_dirs(to, reached, created);
    created.clear();
    errno = error;
    if (!is_refused_path(error)) {
      failed("Erstellen von", full_path(to.root, reached), error);
      return -1;
    }
  }
  copy_failed(source, target, std::strerror(errno));
  return -1;
}

// Whether `a` is older than `b` by the comparison's rule: in whole seconds,
// more than `slack` seconds apart.
static bool is_older(const timespec& a, const timespec& b, std::int64_t slack) {
  return a.tv_sec < b.tv_sec && !times_match(a.tv_sec, b.tv_sec, slack);
}

// Why the file now at the target may not be replaced, or "" if it may;
// `exists` tells whether one stands there, with its status in `st`.  An
// update replaces only a regular file that is still older than the source;
// a new file replaces nothing.
static std::string refusal(int dir_fd, const std::string& name,
                           const struct stat& source, bool create,
                           std::int64_t slack, struct stat& st, bool& exists) {
  exists = fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists) return errno == ENOENT ? "" : std::strerror(errno);
  if (create) return std::strerror(EEXIST);
  if (S_ISLNK(st.st_mode)) return std::strerror(ELOOP);
  if (!S_ISREG(st.st_mode)) return std::strerror(EINVAL);
  if (!is_older(st.st_mtim, source.st_mtim, slack)) return kNotOlder;
  if (faccessat(dir_fd, name.c_str(), W_OK, AT_EACCESS) != 0) {
    return std::strerror(errno);
  }
  return "";
}

// Copies bytes `start` to `end` of `in` to the same offsets of `out`, in the
// kernel while `in_kernel` holds (it clones where the file system can),
// telling `status` after each chunk; returns the offset reached, which is
// short of `end` only where the source ended early, or -1 with errno set.
static off_t copy_range(int in, int out, off_t start, off_t end,
                        bool& in_kernel, CopyStatus& status) {
  char buffer[64 * 1024];
  while (start < end) {
    std::size_t want =
        static_cast<std::size_t>(std::min<off_t>(end - start, kKernelChunk));
    ssize_t n;
    if (in_kernel) {
      loff_t in_offset = start, out_offset = start;
      n = copy_file_range(in, &in_offset, out, &out_offset, want, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                    errno == EOPNOTSUPP)) {
        in_kernel = false;
        continue;
      }
    } else {
      n = pread(in, buffer, std::min(want, sizeof buffer), start);
      for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t written = pwrite(out, buffer + done, n - done, start + done);
        if (written < 0 && errno != EINTR) return -1;
        if (written > 0) done += written;
      }
    }
    if (n == 0) return start;
    if (n < 0 && errno != EINTR) return -1;
    if (n > 0) start += n;
    show_copy_status(status, start);
  }
  return start;
}

// The next region of data in `in` at or after `from`, as [data, hole);
// false when none is left before `size`.  A file system that cannot tell
// holes counts the rest as data.
static bool next_data(int in, off_t from, off_t size, off_t& data,
                      off_t& hole) {
  data = lseek(in, from, SEEK_DATA);
  if (data < 0 && errno == ENXIO) return false;
  if (data < 0) data = from;
  hole = lseek(in, data, SEEK_HOLE);
  if (hole < 0 || hole > size) hole = size;
  return data < size;
}

// Copies the data regions of `in` (up to its end or the size in `in_st`) to
// `out` and gives `out` that length, so that holes stay holes, telling
// `status` as it goes.  Returns the offset reached, short of `size` only
// where the source ended early, or -1 with errno set on failure.
static off_t copy_content(int in, int out, const struct stat& in_st,
                          CopyStatus& status) {
  bool in_kernel = true;
  off_t size = in_st.st_size;
  // A file with a block for every byte has no holes to look for.
  if (in_st.st_blocks * 512 >= size) {
    return copy_range(in, out, 0, size, in_kernel, status);
  }
  off_t data = 0, hole = 0, reached = 0;
  while (reached == hole && next_data(in, hole, size, data, hole)) {
    reached = copy_range(in, out, data, hole, in_kernel, status);
    if (reached < 0) return -1;
  }
  if (reached != hole) return reached;  // the source ended early
  // A trailing hole.
  if (reached != size && ftruncate(out, size) != 0) return -1;
  return size;
}

// Whether two states of a file are those of one file, unchanged: the same
// inode, size, modification time and change time, to the nanosecond.
static bool same_state(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether the source changed while it was copied: the open file `in` is no
// longer in the state `before` that its path had when the copy began, or
// its path in `source_dir` now names another file.
static bool source_changed(int in, int source_dir, const std::string& name,
                           const struct stat& before) {
  struct stat now, at_path;
  if (fstat(in, &now) != 0 ||
      fstatat(source_dir, name.c_str(), &at_path, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;
  }
  return !same_state(now, before) || !same_state(at_path, now);
}

// A new temporary file in `dir_fd`, registered in `slot` for removal on
// interrupt; -1 with errno set on failure.  The files of a batch that share
// a directory take successive numbers.
static int create_temp(std::size_t slot, int dir_fd, mode_t mode,
                       std::string& name) {
  static std::atomic<int> next_attempt{0};
  for (int tries = 0; tries < 100; ++tries) {
    static const long pid = getpid();  // asked once, not once per copy
    name = temp_file_name(pid, next_attempt++);
    set_pending_temp(slot, dir_fd, name.c_str());
    int fd = openat(dir_fd, name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    clear_pending_temp(slot);
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Gives the file `out`, which this run has just created, the permission bits
// `mode`; a file system that cannot hold them is no failure.  False with
// errno set otherwise.
static bool set_mode_where_possible(int out, mode_t mode) {
  if (fchmod(out, mode) == 0) return true;
  return errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM;
}

// Whether a stored modification second keeps the source's: the same second,
// or the one before it where the file system keeps only even seconds.
static bool keeps_second(time_t stored, time_t source) {
  return stored == source || stored == source - 1;
}

// Gives the open file `out` the source's access and modification time and
// reads its status back into `st`; reports its own failure.
static bool set_and_check_times(int out, const struct stat& source_st,
                                const std::string& target, struct stat& st) {
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (futimens(out, times) != 0 || fstat(out, &st) != 0) {
    return failed("Setzen des Zeitstempels für", target, errno);
  }
  if (keeps_second(st.st_mtim.tv_sec, source_st.st_mtim.tv_sec)) return true;
  report("Fehler beim Setzen des Zeitstempels für " + quoted_path(target, 2) +
         ": " + kTimeNotKept + " (" + std::to_string(st.st_mtim.tv_sec) +
         " statt " + std::to_string(source_st.st_mtim.tv_sec) + ")\n");
  return false;
}

// Checks the time of the file just moved to `name` once more and sets it
// again where the file system stamped the time of the move onto it (FAT
// through FUSE does); reports its own failure.
static bool keep_times_after_move(int dir_fd, const std::string& name,
                                  const struct stat& source_st,
                                  const std::string& target) {
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      keeps_second(st.st_mtim.tv_sec, source_st.st_mtim.tv_sec)) {
    return true;
  }
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (utimensat(dir_fd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    return failed("Setzen des Zeitstempels für", target, errno);
  }
  return true;
}

// Writes the content, owner, permission bits and time of the open source
// `in` (named `copy.name` in `source_dir`) into the open temporary file
// `out`, created with the status `created`, whose status ends in `out_st`;
// reports its own failure.  A source that changed while it was copied, or
// ended early, is a failure.
static bool fill_temp(int in, int source_dir, int out, PendingCopy& copy,
                      const struct stat& created, const struct stat* replaced,
                      struct stat& out_st) {
  const struct stat& source_st = copy.source_st;
  const std::string& source = copy.source;
  const std::string& target = copy.target;
  CopyStatus status = start_copy_status(target, source_st.st_size);
  off_t copied = copy_content(in, out, source_st, status);
  end_shown_status(status);
  if (copied < 0 && (errno == ENOSPC || errno == EDQUOT)) {
    copy.deferred = true;  // no room: write_temp tells whether to wait
    return false;
  }
  if (copied < 0) {
    return copy_failed(source, target, std::strerror(errno));
  }
  if (copied != source_st.st_size ||
      source_changed(in, source_dir, copy.name, source_st)) {
    return copy_failed(source, target, kSourceChanged);
  }
  // Where the process may, the replacement keeps the old file's owner.  An
  // owner or mode that the new file has already costs no call.
  bool chowned = false;
  if (replaced != nullptr && (created.st_uid != replaced->st_uid ||
                              created.st_gid != replaced->st_gid)) {
    chowned = fchown(out, replaced->st_uid, replaced->st_gid) == 0;
  }
  mode_t mode = source_st.st_mode & 07777;
  if ((chowned || (created.st_mode & 07777) != mode) &&
      !set_mode_where_possible(out, mode)) {
    return copy_failed(source, target, std::strerror(errno));
  }
  return set_and_check_times(out, source_st, target, out_st);
}

// Renames `temp` to `name` in `dir_fd` only where nothing stands at `name`.
// Where the file system lacks RENAME_NOREPLACE, the temporary file is linked
// to the name (which fails where anything stands there) and its own name
// removed; where it lacks hard links as well, the name is checked to be free
// just before a plain rename.  False with errno set on failure.
static bool move_into_place_without_replacing(int dir_fd,
                                              const std::string& temp,
                                              const std::string& name) {
  const char* from = temp.c_str();
  const char* to = name.c_str();
  if (renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (linkat(dir_fd, from, dir_fd, to, 0) == 0) {
    unlinkat(dir_fd, from, 0);  // the target stands; a leftover is passed over
    return true;
  }
  if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  struct stat st;
  if (fstatat(dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
  if (errno != ENOENT) return false;
  return renameat(dir_fd, from, dir_fd, to) == 0;
}

// The outcome of one syncfs per file system during a phase of a batch.
using SyncedDevices = std::vector<std::pair<dev_t, int>>;

// errno of an fsync of `fd`; 0 on success.
static int fsync_error(int fd) { return fsync(fd) == 0 ? 0 : errno; }

// errno of a syncfs of the file system of `fd`, made once per phase and
// device; ENOSYS where the kernel lacks it.
static int syncfs_once(SyncedDevices& done, dev_t device, int fd) {
  for (const auto& [synced, error] : done) {
    if (synced == device) return error;
  }
  int error = syncfs(fd) == 0 ? 0 : errno;
  done.emplace_back(device, error);
  return error;
}

// errno of an fsync of directory `dir_fd`; where it cannot be opened for
// that, of a syncfs through the file `fd` beside it.
static int fsync_dir_error(int dir_fd, int fd) {
  int dir = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return syncfs(fd) == 0 ? 0 : errno;
  int error = fsync_error(dir);
  close(dir);
  return error;
}

// Reports a failed copy of a batch and removes its temporary file, unless
// it already stands at the target's path.
static void fail_copy(PendingCopy& copy, const std::string& reason) {
  copy_failed(copy.source, copy.target, reason);
  if (!copy.renamed && copy.out >= 0) {
    unlinkat(copy.dir_fd, copy.temp.c_str(), 0);
  }
  clear_pending_temp(copy.slot);
  copy.ok = false;
}

// The threads that carry out the steps of a batch's copies, many at once.
struct CopyWorkers {
  std::mutex mutex;
  std::condition_variable work;  // a job was queued, or stop
  std::condition_variable idle;  // a job was done
  std::deque<std::function<void()>> jobs;
  std::size_t busy = 0;  // jobs taken and not yet done
  bool stop = false;
  std::vector<std::thread> threads;
};

Batch::Batch() : workers(std::make_unique<CopyWorkers>()) {
  copies.reserve(kBatchFiles);
}

Batch::~Batch() {
  {
    std::lock_guard lock(workers->mutex);
    workers->stop = true;
  }
  workers->work.notify_all();
  for (std::thread& thread : workers->threads) thread.join();
}

// Body of a worker: takes jobs until told to stop.
static void serve(CopyWorkers& workers) {
  std::unique_lock lock(workers.mutex);
  while (true) {
    workers.work.wait(lock,
                      [&] { return workers.stop || !workers.jobs.empty(); });
    if (workers.jobs.empty()) return;
    std::function<void()> job = std::move(workers.jobs.front());
    workers.jobs.pop_front();
    ++workers.busy;
    lock.unlock();
    job();
    lock.lock();
    --workers.busy;
    workers.idle.notify_all();
  }
}

// Runs `job` on a worker, starting one more while fewer than
// kCopiesInFlight run; where no thread can be started, runs it here.
void run_job(Batch& batch, std::function<void()> job) {
  CopyWorkers& workers = *batch.workers;
  {
    std::lock_guard lock(workers.mutex);
    if (workers.threads.size() < kCopiesInFlight) {
      try {
        workers.threads.emplace_back(serve, std::ref(workers));
      } catch (const std::system_error&) {
      }
    }
    if (!workers.threads.empty()) {
      workers.jobs.push_back(std::move(job));
      workers.work.notify_one();
      return;
    }
  }
  job();
}

void wait_for_copies(Batch& batch) {
  CopyWorkers& workers = *batch.workers;
  std::unique_lock lock(workers.mutex);
  workers.idle.wait(lock,
                    [&] { return workers.jobs.empty() && workers.busy == 0; });
}

// Copies the open source `in`, named `copy.name` in `source_dir`, into a
// new temporary file beside the target, which `copy` then holds with
// `dir_fd`; false after a reported failure.  `replaced` is the target found
// at the start, if any.
static bool write_temp(Batch& batch, int in, int source_dir, int dir_fd,
                       PendingCopy& copy, const struct stat* replaced) {
  copy.out =
      create_temp(copy.slot, dir_fd, copy.source_st.st_mode & 0777, copy.temp);
  if (copy.out < 0) {
    return copy_failed(copy.source, copy.target, std::strerror(errno));
  }
  // Owner and mode as created, known without a round trip: a file system
  // answers the creation with them.
  struct stat created {};
  if (fstat(copy.out, &created) != 0) {
    created.st_mode = ~mode_t{0};  // unknown: every step is taken
    created.st_uid = ~uid_t{0};
    created.st_gid = ~gid_t{0};
  }
  struct stat out_st;
  if (!fill_temp(in, source_dir, copy.out, copy, created, replaced, out_st)) {
    // Out of room beside the batch's other temporary files, the copy waits
    // for them to be in place; alone, it fails.
    int error = errno;
    if (copy.deferred && batch.started.load() <= 1) {
      copy.deferred = false;
      copy_failed(copy.source, copy.target, std::strerror(error));
    }
    close(copy.out);
    copy.out = -1;
    unlinkat(dir_fd, copy.temp.c_str(), 0);
    clear_pending_temp(copy.slot);
    return false;
  }
  copy.dir_fd = dir_fd;
  copy.device = out_st.st_dev;
  batch.bytes += copy.source_st.st_size;
  return true;
}

// Puts the content, permission bits and time of every temporary file of
// `batch` on stable storage before any of them becomes visible.
static void make_temps_durable(Batch& batch) {
  std::size_t written = 0;
  for (const PendingCopy& copy : batch.copies) written += copy.ok;
  bool each = written <= kFsyncEachMax;
  SyncedDevices done;
  for (PendingCopy& copy : batch.copies) {
    if (!copy.ok) continue;
    int error = each ? ENOSYS : syncfs_once(done, copy.device, copy.out);
    if (error == ENOSYS) error = fsync_error(copy.out);
    if (error != 0) fail_copy(copy, std::strerror(error));
  }
}

// Checks the target of `copy` once more and renames its temporary file into
// place: over a target that is still an older regular file, or where nothing
// stands for a one-sided file.
static void rename_copy(PendingCopy& copy) {
  struct stat st;
  bool exists = false;
  std::string reason = refusal(copy.dir_fd, copy.name, copy.source_st,
                               copy.create, copy.slack, st, exists);
  if (!reason.empty()) return fail_copy(copy, reason);
  bool moved = exists ? renameat(copy.dir_fd, copy.temp.c_str(), copy.dir_fd,
                                 copy.name.c_str()) == 0
                      : move_into_place_without_replacing(copy.dir_fd,
                                                          copy.temp, copy.name);
  if (!moved) return fail_copy(copy, std::strerror(errno));
  copy.renamed = true;
  clear_pending_temp(copy.slot);
  copy.ok = keep_times_after_move(copy.dir_fd, copy.name, copy.source_st,
                                  copy.target);
}

// Renames the temporary files of `batch` into place, many at once.
static void rename_batch(Batch& batch) {
  for (PendingCopy& copy : batch.copies) {
    if (copy.ok) run_job(batch, [&copy] { rename_copy(copy); });
  }
  wait_for_copies(batch);
}

// Puts the renames of `batch`, and the directories its one-sided copies
// created, on stable storage: an fsync of each directory of a small batch of
// updates, else one syncfs per file system.
static void make_dirs_durable(Batch& batch) {
  bool each = batch.copies.size() <= kFsyncEachMax;
  for (const PendingCopy& copy : batch.copies) each = each && !copy.create;
  SyncedDevices done;
  for (PendingCopy& copy : batch.copies) {
    if (!copy.renamed) continue;
    int error = each ? ENOSYS : syncfs_once(done, copy.device, copy.out);
    if (error == ENOSYS) error = fsync_dir_error(copy.dir_fd, copy.out);
    if (error != 0) fail_copy(copy, std::strerror(error));
  }
}

// Makes the written copies of `batch` durable and visible, then empties
// it; false if any of them failed.  Its copies must be done writing.
static bool finish_once(Batch& batch) {
  make_temps_durable(batch);
  rename_batch(batch);
  make_dirs_durable(batch);
  bool ok = true;
  for (PendingCopy& copy : batch.copies) {
    ok = ok && (copy.ok || copy.deferred);
    if (copy.out >= 0) close(copy.out);
    if (copy.dir_fd >= 0) close(copy.dir_fd);
  }
  // A failed copy leaves no empty directories behind; one that another
  // copy of the batch filled stays.  Later copies made theirs below or
  // beside those of earlier ones, so they go first.
  for (auto copy = batch.copies.rbegin(); copy != batch.copies.rend(); ++copy) {
    if (!copy->ok && !copy->renamed && !copy->deferred) {
      remove_created_dirs(*copy->to, copy->parent, copy->created);
    }
  }
  batch.copies.clear();
  batch.bytes = 0;
  batch.started = 0;
  batch.deferred = false;
  return ok;
}

// Copies at most in one batch: two open files each, within the process's
// limit of open files.
static std::size_t batch_limit_of_process() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  rlim_t room = limit.rlim_cur > 64 ? (limit.rlim_cur - 64) / 2 : 1;
  return room < kBatchFiles ? std::max<rlim_t>(room, 1) : kBatchFiles;
}

// Whether `size` more bytes would leave the file system of `dir_fd` short
// of room, counting some for the file's own bookkeeping.
static bool lacks_room(int dir_fd, off_t size) {
  struct statvfs st;
  if (fstatvfs(dir_fd, &st) != 0) return false;
  unsigned long long room =
      static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
  return static_cast<unsigned long long>(size) + (64 << 10) > room;
}

// Reads the source's status and returns the directory that holds it, or
// -1 after a reported failure.
static int stat_source(const Tree& from, const std::string& relative_path,
                       struct stat& st, const std::string& source,
                       const std::string& target) {
  int dir_fd = open_beneath(from, parent_of(relative_path));
  if (dir_fd < 0) {
    int error = errno;
    if (is_refused_path(error)) {
      copy_failed(source, target, std::strerror(error));
    } else {
      failed("Lesen des Zeitstempels von", source, error);
    }
    return -1;
  }
  if (fstatat(dir_fd, name_of(relative_path).c_str(), &st,
              AT_SYMLINK_NOFOLLOW) != 0) {
    failed("Lesen des Zeitstempels von", source, errno);
    close(dir_fd);
    return -1;
  }
  return dir_fd;
}

// Opens the source for reading, only a regular file and never through a
// link; -1 after a reported failure.
static int open_source(int dir_fd, const std::string& name,
                       const struct stat& st, const std::string& source,
                       const std::string& target) {
  if (S_ISLNK(st.st_mode))
    return copy_failed(source, target, std::strerror(ELOOP)), -1;
  if (!S_ISREG(st.st_mode))
    return copy_failed(source, target, std::strerror(EINVAL)), -1;
  int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) copy_failed(source, target, std::strerror(errno));
  return fd;
}

// Refuses a source time that the target's file system cannot hold, before
// anything is written there; false after the report.
static bool check_time_held(const Tree& to, const PendingCopy& copy) {
  if (can_hold_time(to.kind, copy.source_st.st_mtim.tv_sec)) return true;
  report("Fehler beim Setzen des Zeitstempels für " +
         quoted_path(copy.target, 2) + ": " + kTimeNotHeld + "\n");
  return false;
}

// The steps of one copy up to its written temporary file, in a worker:
// the source's status, the target's directory (made where missing), the
// checks, the content.  Reports its own failure in `copy`.  A copy that
// would not fit beside the batch's other temporary files is put off.
static void write_copy(Batch& batch, PendingCopy& copy) {
  const Tree& from = *copy.from;
  const Tree& to = *copy.to;
  const std::string& source = copy.source;
  const std::string& target = copy.target;
  const std::string& name = copy.name;
  struct stat& source_st = copy.source_st;
  copy.ok = false;
  int source_dir =
      stat_source(from, copy.relative_path, source_st, source, target);
  if (source_dir < 0) return;
  if (!check_time_held(to, copy)) return (void)close(source_dir);
  if (batch.started.load() > 1 && lacks_room(to.fd, source_st.st_size)) {
    copy.deferred = true;
    batch.deferred = true;
    return (void)close(source_dir);
  }
  std::string created_before = std::move(copy.created);  // if put off once
  int dir_fd = open_target_dir(to, copy.relative_path, copy.create,
                               copy.created, source, target);
  if (copy.created.empty()) copy.created = std::move(created_before);
  int in = dir_fd < 0
               ? -1
               : open_source(source_dir, name, source_st, source, target);
  bool ok = in >= 0;
  struct stat old_st;
  bool exists = false;
  if (ok) {
    std::string reason = refusal(dir_fd, name, source_st, copy.create,
                                 copy.slack, old_st, exists);
    if (!reason.empty()) ok = copy_failed(source, target, reason);
  }
  if (ok) {
    ok = write_temp(batch, in, source_dir, dir_fd, copy,
                    exists ? &old_st : nullptr);
    if (ok) dir_fd = -1;  // the copy holds it now
  }
  close(source_dir);
  if (dir_fd >= 0) close(dir_fd);
  if (in >= 0) close(in);
  copy.ok = ok;
  if (copy.deferred) batch.deferred = true;
}

// Starts `copy` as the next copy of `batch`, on a worker.
static void start_copy(Batch& batch, PendingCopy copy) {
  ++batch.started;
  copy.slot = batch.copies.size();
  PendingCopy& held = batch.copies.emplace_back(std::move(copy));
  run_job(batch, [&batch, &held] { write_copy(batch, held); });
}

// Copies put off for want of room beside the batch's temporary files are
// made after it, one by one.
bool finish_batch(Batch& batch) {
  bool ok = true;
  while (true) {
    wait_for_copies(batch);
    std::vector<PendingCopy> put_off;
    for (PendingCopy& copy : batch.copies) {
      if (copy.deferred) put_off.push_back(copy);
    }
    ok = finish_once(batch) && ok;
    if (put_off.empty()) return ok;
    // Each put-off copy in turn; the first of a batch is never put off, so
    // that every round makes at least one.
    for (PendingCopy& copy : put_off) {
      copy.deferred = false;
      start_copy(batch, std::move(copy));
      wait_for_copies(batch);
    }
  }
}

// Whether `batch` must be finished before another copy: it holds as many
// copies or bytes as a batch may, or a copy was put off for want of room.
static bool is_full(const Batch& batch) {
  static const std::size_t limit = batch_limit_of_process();
  return batch.copies.size() >= limit || batch.bytes >= kBatchBytes ||
         batch.deferred;
}

bool queue_copy(Batch& batch, const Tree& from, const Tree& to,
                const std::string& relative_path, bool create_parents) {
  PendingCopy copy;
  copy.source = full_path(from.root, relative_path);
  copy.target = full_path(to.root, relative_path);
  copy.relative_path = relative_path;
  copy.name = name_of(relative_path);
  copy.parent = parent_of(relative_path);
  copy.create = create_parents;
  copy.slack = time_slack(from.kind, to.kind);
  copy.from = &from;
  copy.to = &to;
  say(shown_path(copy.source, 1) + " -> " + shown_path(copy.target, 1) + "\n");
  bool earlier_ok = !is_full(batch) || finish_batch(batch);
  start_copy(batch, std::move(copy));
  return earlier_ok;
}

bool copy_with_timestamp(const Tree& from, const Tree& to,
                         const std::string& relative_path,
                         bool create_parents) {
  Batch batch;
  bool ok = queue_copy(batch, from, to, relative_path, create_parents);
  return finish_batch(batch) && ok;
}

bool refuse_copy(const Tree& from, const Tree& to,
                 const std::string& relative_path, const std::string& reason) {
  std::string source = full_path(from.root, relative_path);
  std::string target = full_path(to.root, relative_path);
  say(shown_path(source, 1) + " -> " + shown_path(target, 1) + "\n");
  return copy_failed(source, target, reason);
}
