// readback.cpp: a copy read back from its drive and compared with its source.
//
// A USB stick or memory card may accept every write and later return other
// bytes: a worn card flips one here and there, a counterfeit stick wraps
// writes past its real size onto earlier data.  No system call reports it;
// the only time to notice is right after writing, while the source is at
// hand.  Once a copy is synced its cached pages are clean, and dropping
// them (posix_fadvise POSIX_FADV_DONTNEED) makes the next read ask the
// drive.  The copy and the source are then read chunk by chunk with pread
// and compared byte for byte; a hole reads as zeros on either side.  A FUSE
// driver such as exfat-fuse or ntfs-3g reads its drive through the block
// device's own cache, which drop_device_cache empties where this process
// may open the device; elsewhere such a read-back can come from that cache.

#include "readback.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "interrupt.h"
#include "output.h"
#include "progress.h"

namespace {

// Bytes compared per step, of each file: large enough for few requests to
// a FUSE driver, small enough for many read-backs at once.
constexpr std::size_t kChunk = 1 << 20;
// Alignment of the buffers, for a copy opened with O_DIRECT.
constexpr std::size_t kAlign = 4096;

}  // namespace

ssize_t read_fully(int fd, char* buffer, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, buffer + done, size - done,
                      offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int read_back(int copy_fd, int source_fd, off_t size,
              const std::function<void(std::uint64_t)>& progress) {
  return compare_bytes(copy_fd, source_fd, size, true, progress);
}

int compare_bytes(int copy_fd, int source_fd, off_t size, bool from_drive,
                  const std::function<void(std::uint64_t)>& progress) {
  struct stat st;
  if (fstat(copy_fd, &st) != 0) return -1;
  if (st.st_size != size) return 1;
  std::unique_ptr<char, decltype(&std::free)> buffers(
      static_cast<char*>(std::aligned_alloc(kAlign, 2 * kChunk)), &std::free);
  if (!buffers) {
    errno = ENOMEM;
    return -1;
  }
  char* copy = buffers.get();
  char* source = copy + kChunk;
  // The advice returns an error number rather than setting errno; where it
  // fails, the file system keeps no pages of its own (it reads through).
  if (from_drive) posix_fadvise(copy_fd, 0, 0, POSIX_FADV_DONTNEED);
  posix_fadvise(copy_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  for (off_t done = 0; done < size;) {
    if (stop_requested()) return errno = EINTR, -1;
    auto want = static_cast<std::size_t>(
        std::min<off_t>(size - done, static_cast<off_t>(kChunk)));
    ssize_t read = read_fully(copy_fd, copy, want, done);
    if (read < 0) return -1;
    ssize_t expected = read_fully(source_fd, source, want, done);
    if (expected < 0) return -1;
    if (static_cast<std::size_t>(read) != want || expected != read ||
        std::memcmp(copy, source, want) != 0) {
      return 1;
    }
    done += static_cast<off_t>(want);
    if (progress) progress(static_cast<std::uint64_t>(done));
  }
  return 0;
}

int open_from_drive(int dir_fd, const std::string& name) {
  // Past every cache where the file system allows it.
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(dir_fd, name.c_str(), flags | O_DIRECT);
  if (fd < 0 && errno == EINVAL) fd = openat(dir_fd, name.c_str(), flags);
  return fd;
}

std::string read_back_file(int dir_fd, const std::string& name, int source_fd,
                           off_t size, const std::string& target) {
  CopyStatus status =
      start_read_back_status(target, static_cast<std::uint64_t>(size), true);
  int fd = open_from_drive(dir_fd, name);
  auto shown = [&](std::uint64_t done) { show_copy_status(status, done); };
  int same = fd < 0 ? -1 : read_back(fd, source_fd, size, shown);
  int error = errno;
  end_shown_status(status);
  if (fd >= 0) close(fd);
  if (same < 0) return std::strerror(error);
  return same > 0 ? kDiffers : "";
}

void drop_device_cache(const std::string& device) {
  if (device.empty()) return;
  int fd = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
    // BLKFLSBUF writes out and drops every page, but wants CAP_SYS_ADMIN;
    // the advice drops the clean ones for anyone who may open the device.
    if (ioctl(fd, BLKFLSBUF, 0) != 0) {
      posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
  }
  close(fd);
}
