// batch.cpp: a batch of written copies, made durable, then renamed.
//
// So that a power cut never leaves a renamed file without its content, the
// temporary files of a batch are made durable together (one syncfs per file
// system, or an fsync each for a small batch) before any of them is checked
// once more and renamed, and at last the directories they were renamed in
// are made durable.  The renames run many at once on the workers; each phase
// writes its failures in the batch's order.  A batch ends at a number of
// files, of bytes, or where the next file would not fit beside the room
// that the batch's copies hold on its file system; the planning thread
// counts that room as it queues them, so that a copy waits for the next
// batch exactly where it would if the copies were made one by one.

#include "batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "filecopy.h"
#include "handles.h"
#include "interrupt.h"
#include "output.h"
#include "placed.h"
#include "progress.h"
#include "putback.h"
#include "readback.h"

namespace {

// Most copies in one batch: each keeps its temporary file and its target's
// directory open until the batch is renamed into place.
constexpr std::size_t kBatchFiles = 256;
// Most bytes written into the temporary files of one batch.
constexpr std::uint64_t kBatchBytes = std::uint64_t{512} << 20;
// A batch of at most this many copies is made durable by an fsync of each
// file; a larger one by one syncfs per file system.
constexpr std::size_t kFsyncEachMax = 4;
// Room kept free beside a file for its own bookkeeping.
constexpr std::uint64_t kSpareRoom = 64 << 10;
// Room beyond that, below which copies are written one by one.
constexpr std::uint64_t kTightRoom = 8 << 20;
// Free inodes beyond those of a batch's new files, below which a copy is
// written: directories made for copies need some too.
constexpr std::uint64_t kSpareInodes = 1024;

}  // namespace

// Copies at most in one batch: up to three open files each (the temporary
// file, its directory, and the source of a copy that is read back), within
// the process's limit of open files, beside those of the copies being
// prepared.
static std::size_t batch_limit_of_process() {
  std::size_t room = open_files_share(128, 3, 1);
  return room < kBatchFiles ? std::max<std::size_t>(room, 1) : kBatchFiles;
}

// The room of the file system that `tree` lies on, measured when the batch
// first writes there.
static Room& room_of(Batch& batch, const Tree& tree) {
  for (Room& room : batch.rooms) {
    for (const Tree* held : room.trees) {
      if (held == &tree) return room;
    }
  }
  struct stat st {};
  if (fstat(tree.fd, &st) != 0) st.st_dev = 0;
  for (Room& room : batch.rooms) {
    if (room.device == st.st_dev) return room.trees.push_back(&tree), room;
  }
  Room& room = batch.rooms.emplace_back();
  room.trees.push_back(&tree);
  room.device = st.st_dev;
  room.free = std::numeric_limits<std::uint64_t>::max();
  struct statvfs vfs;
  if (fstatvfs(tree.fd, &vfs) == 0) {
    room.free = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    room.block = std::max<std::uint64_t>(vfs.f_frsize, 1);
    room.told = vfs.f_blocks != 0;
    room.inodes = vfs.f_favail;
    room.tells_inodes = vfs.f_files != 0;
    if (&tree == batch.changed) {
      auto change = static_cast<std::uint64_t>(
          batch.room_change < 0 ? -batch.room_change : batch.room_change);
      if (batch.room_change >= 0) room.kept = change;
      else room.free = room.free > change ? room.free - change : 0;
    }
  }
  return room;
}

// Bytes that the temporary file of `copy` takes in `room`.
static std::uint64_t room_needed(const Room& room, const PendingCopy& copy) {
  auto size = static_cast<std::uint64_t>(copy.source_st.st_size);
  return (size + room.block - 1) / room.block * room.block;
}

Fit fits_in_batch(Batch& batch, const PendingCopy& copy) {
  static const std::size_t limit = batch_limit_of_process();
  if (batch.count == 0) return Fit::Yes;
  auto size = static_cast<std::uint64_t>(copy.source_st.st_size);
  if (batch.count >= limit || batch.bytes + size > kBatchBytes) return Fit::No;
  Room& room = room_of(batch, *copy.to);
  std::uint64_t need = room_needed(room, copy) + kSpareRoom;
  // Copying would have deleted the files kept for copies.
  std::uint64_t free = room.free + room.kept;
  std::uint64_t left = room.held <= free ? free - room.held : 0;
  if (need > left) return Fit::No;
  // Short of inodes, copies are made one by one too: each then finds as
  // many left, for its directories and its file, as it would alone.
  bool few_inodes =
      room.tells_inodes && room.inodes < room.files + kSpareInodes;
  return need + kTightRoom > left || few_inodes ? Fit::Alone : Fit::Yes;
}

void hold_room(Batch& batch, PendingCopy& copy) {
  Room& room = room_of(batch, *copy.to);
  copy.reserved = room_needed(room, copy);
  room.held += copy.reserved;
  ++room.files;
  batch.bytes += static_cast<std::uint64_t>(copy.source_st.st_size);
  ++batch.count;
}

bool has_room_to_spare(Batch& batch, const PendingCopy& copy) {
  Room& room = room_of(batch, *copy.to);
  // Where the file system tells no room at all, a copy cannot tell either.
  // Files kept for copies count as taking room: a copy may not take one.
  if (room.tells_inodes && room.inodes < room.files + kSpareInodes) {
    return false;
  }
  if (!room.told) return true;
  std::uint64_t left = room.held <= room.free ? room.free - room.held : 0;
  return left >= kSpareRoom + kTightRoom;
}

void release_room(Batch& batch, const PendingCopy& copy) {
  Room& room = room_of(batch, *copy.to);
  room.held -= copy.reserved;
  --room.files;
  batch.bytes -= static_cast<std::uint64_t>(copy.source_st.st_size);
  --batch.count;
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

// Writes the failures recorded so far, in the batch's order.
static void report_failures(Batch& batch) {
  for (auto& copy : batch.copies) {
    report(copy->errors);
    copy->errors.clear();
  }
}

// Puts on stable storage what the copies of `batch` with `picked` set hold:
// with `each`, or where syncfs is missing, through `sync_one` of every such
// copy, else with one syncfs per file system; a copy that fails is
// discarded.
static void make_durable(Batch& batch, bool (*picked)(const PendingCopy& copy),
                         bool each, int (*sync_one)(const PendingCopy& copy)) {
  SyncedDevices done;
  for (auto& copy : batch.copies) {
    if (!picked(*copy)) continue;
    int error = each ? ENOSYS : syncfs_once(done, copy->device, copy->out);
    if (error == ENOSYS) error = sync_one(*copy);
    if (error != 0) discard_copy(*copy, std::strerror(error));
  }
}

// Puts the content, permission bits and time of every temporary file of
// `batch` on stable storage before any of them becomes visible.
static void make_temps_durable(Batch& batch) {
  std::size_t written = 0;
  for (const auto& copy : batch.copies) written += copy->ok;
  // A target kept in place has nothing written to it.
  make_durable(
      batch, [](const PendingCopy& copy) { return copy.ok && !copy.same; },
      written <= kFsyncEachMax,
      [](const PendingCopy& copy) { return fsync_error(copy.out); });
}

// Reads the temporary file of `copy` back from its drive and compares it
// with the source; records a copy that differs or cannot be read.
static void read_back_copy(PendingCopy& copy) {
  std::string reason = read_back_file(copy.dir_fd, copy.temp, copy.in,
                                      copy.source_st.st_size, copy.target);
  if (!reason.empty()) discard_copy(copy, reason);
}

// Reads back each durable copy of `batch` onto a carried drive and refuses
// one that differs from its source, as many at once as there are workers,
// after the drives' block devices have dropped their cached pages.
static void read_back_batch(Batch& batch, Workers& workers) {
  std::vector<std::string> dropped;
  for (auto& copy : batch.copies) {
    const std::string& device = copy->to->device;
    if (!copy->ok || !is_read_back(*copy) || device.empty()) continue;
    if (std::find(dropped.begin(), dropped.end(), device) != dropped.end()) {
      continue;
    }
    drop_device_cache(device);
    dropped.push_back(device);
  }
  std::vector<PendingCopy*> checked;
  for (auto& held : batch.copies) {
    PendingCopy& copy = *held;
    if (!copy.ok || !is_read_back(copy)) continue;
    checked.push_back(&copy);
    run_job(workers, copy.running, [&copy] {
      if (!stop_requested()) read_back_copy(copy);
    });
  }
  wait_idle(workers);
  // A drive that returned wrong bytes is read back to the end of the run.
  for (PendingCopy* copy : checked) {
    if (!copy->ok && copy->to->placed != nullptr) {
      distrust_drive(*copy->to->placed, *copy);
    }
  }
}

// Renames the temporary files of `batch` into place, as many at once as
// there are workers; false where a signal asked the run to stop first.
static bool rename_batch(Batch& batch, Workers& workers) {
  for (auto& held : batch.copies) {
    PendingCopy& copy = *held;
    if (!copy.ok) continue;
    run_job(workers, copy.running, [&copy] {
      if (!stop_requested()) install_copy(copy);
    });
  }
  wait_idle(workers);
  return !stop_requested();
}

// Puts the renames of `batch`, and the directories its one-sided copies
// created, on stable storage: an fsync of each directory of a small batch of
// updates, else one syncfs per file system.
static void make_dirs_durable(Batch& batch) {
  bool each = batch.copies.size() <= kFsyncEachMax;
  for (const auto& copy : batch.copies) each = each && !copy->create;
  // A target kept in place has its own new mode and time to keep.
  make_durable(
      batch, [](const PendingCopy& copy) { return copy.renamed; }, each,
      [](const PendingCopy& copy) {
        return copy.same ? fsync_error(copy.out)
                         : fsync_dir_error(copy.dir_fd, copy.out);
      });
}

bool finish_batch(Batch& batch, Workers& workers) {
  make_temps_durable(batch);
  report_failures(batch);
  read_back_batch(batch, workers);
  // A read-back that a signal broke off is no failure of its own.
  if (stop_requested()) return false;
  report_failures(batch);
  if (!rename_batch(batch, workers)) return false;
  report_failures(batch);
  make_dirs_durable(batch);
  report_failures(batch);
  for (const auto& copy : batch.copies) {
    // Targets kept or files taken in place were read from the drive too.
    if (copy->renamed && kReadBack && copy->to->carried &&
        copy->to->placed != nullptr) {
      note_placed(*copy->to->placed, *copy);
    }
  }
  bool ok = true;
  for (const auto& copy : batch.copies) ok = ok && copy->ok;
  return ok;
}

void close_batch(Batch& batch, Workers& workers) {
  for (auto& held : batch.copies) {
    PendingCopy& copy = *held;
    // On a local disk a close costs less than handing it to a worker.
    if (!copy.to->network && !copy.from->network) {
      close_copy(copy);
      continue;
    }
    run_job(workers, copy.running, [&copy] { close_copy(copy); });
  }
  wait_idle(workers);
}

void clear_batch(Batch& batch) {
  for (auto& copy : batch.copies) close_copy(*copy);
  batch.copies.clear();
  batch.count = 0;
  batch.bytes = 0;
  batch.rooms.clear();
}

void discard_batch(Batch& batch) {
  for (auto& copy : batch.copies) {
    if (copy->ok) drop_temp(*copy);
  }
}
