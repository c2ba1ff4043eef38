// patch.cpp: an update built from the file it replaces.
//
// Where the target's file system can clone (btrfs, xfs with reflink), the
// temporary file of an update begins as a clone of the old file (FICLONE):
// it shares every block with it, and no byte is written.  The clone is cut
// to the source's size; then the source and the clone are read side by
// side, a chunk of 1 MiB at a time, and compared block by block in steps of
// the file system's block size.  Each run of blocks that differ is written
// over the clone, and only those take new blocks.  Where the source has a
// hole, the clone gets one too; what the source holds past the old file's
// end is written as it is.  Once the bytes that differ make up more than
// half of the file, the rest is written without comparing, as a copy
// would: sharing no longer pays for reading the old file.  The old file is
// only read, so a copy stopped or failed leaves it whole, and the
// temporary file goes as any other.
//
// The first clone that a file system refuses as unsupported (EOPNOTSUPP,
// EXDEV, EINVAL) ends the attempts on it for the run: its updates are
// copied whole, as where a clone was never tried.

#include "patch.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "content.h"
#include "handles.h"
#include "interrupt.h"
#include "output.h"
#include "readback.h"

namespace {

// Bytes read of each file per step.
constexpr off_t kChunk = 1 << 20;
// Bytes of each file asked of the disk ahead of the step.
constexpr off_t kAhead = 8 * kChunk;
// A smaller source is copied whole: its few blocks cost less to write than
// the clone's calls and the reading of the old file.
constexpr off_t kSmallest = 64 << 10;
// The step of the comparison where the file system names none that fits.
constexpr off_t kBlock = 4096;

// The file systems that refused a clone in this run, by device.
struct Refusals {
  std::mutex mutex;
  std::vector<dev_t> devices;
};
Refusals refusals;

// One update being built as a patched clone.
struct Patch {
  int in = -1;            // the source
  int out = -1;           // the temporary file, the clone
  off_t size = 0;         // the source's size
  off_t old_size = 0;     // the old file's bytes in the clone, up to `size`
  off_t block = kBlock;   // the step of the comparison
  off_t written = 0;      // bytes that differ, found so far or past the old end
  bool whole = false;     // more than half differs: the rest is written
  off_t in_asked = 0;     // the source's bytes asked of the disk so far
  off_t clone_asked = 0;  // the clone's bytes asked of the disk so far
  char* source = nullptr;  // a chunk of the source
  char* old = nullptr;     // the same chunk of the clone
  CopyStatus* status = nullptr;
};

}  // namespace

// Whether the file system of `device` refused a clone in this run.
static bool refused_clone(dev_t device) {
  std::lock_guard lock(refusals.mutex);
  const std::vector<dev_t>& devices = refusals.devices;
  return std::find(devices.begin(), devices.end(), device) != devices.end();
}

// Records that the file system of `device` cannot clone.
static void refuse_clones(dev_t device) {
  std::lock_guard lock(refusals.mutex);
  refusals.devices.push_back(device);
}

// Reads into `info` which btrfs file system the open file `fd` lies on;
// false where it lies on another kind.
static bool btrfs_of(int fd, btrfs_ioctl_fs_info_args& info) {
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && fs.f_type == BTRFS_SUPER_MAGIC &&
         ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0;
}

// Whether the source `in`, of status `in_st`, lies on the file system of
// the new file `out`, which copy_content then clones whole: the same
// device, or another subvolume of the same btrfs.
static bool on_one_file_system(int in, const struct stat& in_st, int out,
                               const struct stat& out_st) {
  if (in_st.st_dev == out_st.st_dev) return true;
  btrfs_ioctl_fs_info_args source{}, target{};
  return btrfs_of(in, source) && btrfs_of(out, target) &&
         std::memcmp(source.fsid, target.fsid, sizeof source.fsid) == 0;
}

// Whether the source `in` of status `in_st` is worth building into `out`
// from a clone of `replaced`: not small, at most half of it past the old
// file's end, and on another file system.
static bool worth_patching(int in, const struct stat& in_st, int out,
                           const ReplacedFile& replaced) {
  off_t size = in_st.st_size;
  return size >= kSmallest && replaced.st.st_size >= size - size / 2 &&
         !refused_clone(replaced.st.st_dev) &&
         !on_one_file_system(in, in_st, out, replaced.st);
}

// Makes the empty file `out` a clone of the replaced file, where that is
// still the file checked; false where it is not cloned.
static bool clone_replaced(int out, const ReplacedFile& replaced) {
  struct stat st;
  int fd = open_regular(replaced.dir_fd, replaced.name.c_str(), st);
  if (fd < 0) return false;
  int error = !same_file(st, replaced.st)    ? EBUSY
              : ioctl(out, FICLONE, fd) == 0 ? 0
                                             : errno;
  close(fd);
  if (error == EOPNOTSUPP || error == EXDEV || error == EINVAL) {
    refuse_clones(replaced.st.st_dev);
  }
  return error == 0;
}

// Makes `p.out` a clone of the replaced file, cut to the source's size: 1
// where it is, 0 where it is not and `p.out` is empty again, -1 with errno
// set where it cannot be emptied.
static int start_patch(Patch& p, const ReplacedFile& replaced) {
  struct stat st;
  if (clone_replaced(p.out, replaced) && fstat(p.out, &st) == 0 &&
      ftruncate(p.out, p.size) == 0) {
    p.old_size = std::min<off_t>(st.st_size, p.size);
    p.written = p.size - p.old_size;
    if (st.st_blksize > 0 && kChunk % st.st_blksize == 0) {
      p.block = st.st_blksize;
    }
    posix_fadvise(p.in, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(p.out, 0, 0, POSIX_FADV_SEQUENTIAL);
    return 1;
  }
  // A clone made in part goes, so that the copy begins on an empty file.
  return ftruncate(p.out, 0) == 0 ? 0 : -1;
}

// Makes the clone's range [from, to) a hole, as the source's is, where the
// old file held data in it; false with errno set.
static bool punch(Patch& p, off_t from, off_t to) {
  to = std::min(to, p.old_size);
  if (from >= to) return true;
  off_t data = lseek(p.out, from, SEEK_DATA);
  if ((data < 0 && errno == ENXIO) || data >= to) return true;
  if (fallocate(p.out, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, from,
                to - from) == 0) {
    return true;
  }
  if (errno != EOPNOTSUPP) return false;
  // Zeros where no hole can be made.
  std::memset(p.old, 0, kChunk);
  for (off_t at = from; at < to; at += kChunk) {
    if (!write_at(p.out, p.old, std::min(kChunk, to - at), at)) return false;
  }
  return true;
}

// Asks the disk for the bytes of `fd` up to kAhead past `at`, those not
// asked for yet (up to `asked`), so that both files are read at once while
// a chunk is compared.
static void ask_ahead(int fd, off_t at, off_t& asked) {
  off_t from = std::max(at, asked);
  if (from - at > kAhead / 2) return;  // asked for in larger steps
  asked = at + kAhead;
  posix_fadvise(fd, from, asked - from, POSIX_FADV_WILLNEED);
}

// Writes the source's bytes [from, to) of the chunk at `at` over the clone;
// false with errno set.
static bool write_run(Patch& p, off_t at, off_t from, off_t to) {
  p.written += to - from;
  return write_at(p.out, p.source + from, to - from, at + from);
}

// Writes over the clone each run of blocks of the source's chunk of `n`
// bytes at `at` that differ from the clone's `held` bytes there (a block
// past them differs); false with errno set.
static bool write_differing(Patch& p, off_t at, off_t n, off_t held) {
  off_t run = -1;  // where the run of differing blocks began, if one did
  for (off_t b = 0; b < n; b += p.block) {
    off_t length = std::min(p.block, n - b);
    if (b + length > held ||
        std::memcmp(p.source + b, p.old + b, length) != 0) {
      if (run < 0) run = b;
      continue;
    }
    if (run >= 0 && !write_run(p, at, run, b)) return false;
    run = -1;
  }
  return run < 0 || write_run(p, at, run, n);
}

// Builds the clone's range [start, end), data in the source, chunk by
// chunk; returns the offset reached, short of `end` only where the source
// ended early, or -1 with errno set (EINTR where a signal asked the run to
// stop).
static off_t patch_range(Patch& p, off_t start, off_t end) {
  off_t at = start - start % p.block;
  while (at < end) {
    if (stop_requested()) return errno = EINTR, -1;
    off_t want = std::min(kChunk, end - at);
    ask_ahead(p.in, at, p.in_asked);
    if (!p.whole && at < p.old_size) ask_ahead(p.out, at, p.clone_asked);
    ssize_t n = read_fully(p.in, p.source, static_cast<std::size_t>(want), at);
    if (n < 0) return -1;
    // Compared only as far as the old file reaches.
    off_t compared = p.whole ? 0 : std::clamp<off_t>(p.old_size - at, 0, n);
    ssize_t held = compared == 0
                       ? 0
                       : read_fully(p.out, p.old,
                                    static_cast<std::size_t>(compared), at);
    if (held < 0 || !write_differing(p, at, n, held)) return -1;
    p.whole = p.whole || p.written > p.size / 2;
    at += n;
    show_copy_status(*p.status, static_cast<std::uint64_t>(at));
    if (n < want) break;  // the source ended early
  }
  return at;
}

// Builds the clone of `p` into the source's bytes: its data regions
// patched, its holes made holes; returns what copy_content would.
static off_t patch_clone(Patch& p) {
  off_t data = 0, hole = 0, reached = 0;
  while (reached == hole && next_data(p.in, hole, p.size, data, hole)) {
    if (!punch(p, reached, data)) return -1;
    reached = patch_range(p, data, hole);
    if (reached < 0) return -1;
  }
  if (reached != hole) return reached;  // the source ended early
  return punch(p, reached, p.size) ? p.size : -1;
}

off_t patch_content(int in, int out, const ReplacedFile& replaced,
                    const struct stat& in_st, CopyStatus& status) {
  std::unique_ptr<char[]> buffers;
  if (worth_patching(in, in_st, out, replaced)) {
    buffers.reset(new (std::nothrow) char[2 * kChunk]);
  }
  if (!buffers) return copy_content(in, out, in_st, status);
  Patch p;
  p.in = in;
  p.out = out;
  p.size = in_st.st_size;
  p.source = buffers.get();
  p.old = p.source + kChunk;
  p.status = &status;
  int started = start_patch(p, replaced);
  if (started < 0) return -1;
  if (started == 0) return copy_content(in, out, in_st, status);
  return patch_clone(p);
}
