// content.cpp: the bytes of one file copied into another.
//
// The copy runs in the kernel (copy_file_range, which clones where the file
// system can) in chunks small enough for a status line to move, and falls
// back to pread and pwrite where the kernel cannot copy between the two
// file systems.  Only the data regions of a sparse source are copied, so
// that holes stay holes.  A signal that asks the run to stop ends the copy
// at the next chunk.

#include "content.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "handles.h"
#include "interrupt.h"
#include "output.h"

namespace {

// Bytes handed to the kernel per copy call: small enough for a status line
// to move during a large copy.
constexpr std::size_t kKernelChunk = 64 << 20;

}  // namespace

bool write_at(int out, const char* buffer, ssize_t n, off_t offset) {
  for (ssize_t done = 0; done < n;) {
    ssize_t written = pwrite(out, buffer + done, n - done, offset + done);
    if (written < 0 && errno != EINTR) return false;
    if (written > 0) done += written;
  }
  return true;
}

// Copies bytes `start` to `end` of `in` to the same offsets of `out`, in the
// kernel while `in_kernel` holds, telling `status` after each chunk; returns
// the offset reached, which is short of `end` only where the source ended
// early, or -1 with errno set.
static off_t copy_range(int in, int out, off_t start, off_t end,
                        bool& in_kernel, CopyStatus& status) {
  char buffer[64 * 1024];
  while (start < end) {
    if (stop_requested()) return errno = EINTR, -1;
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
      if (n > 0 && !write_at(out, buffer, n, start)) return -1;
    }
    if (n == 0) return start;
    if (n < 0 && errno != EINTR) return -1;
    if (n > 0) start += n;
    show_copy_status(status, start);
  }
  return start;
}

bool next_data(int in, off_t from, off_t size, off_t& data, off_t& hole) {
  data = lseek(in, from, SEEK_DATA);
  if (data < 0 && errno == ENXIO) return false;
  if (data < 0) data = from;
  hole = lseek(in, data, SEEK_HOLE);
  if (hole < 0 || hole > size) hole = size;
  return data < size;
}

off_t copy_content(int in, int out, const struct stat& in_st,
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

bool source_changed(int in, int source_dir, const std::string& name,
                    const struct stat& before) {
  struct stat now, at_path;
  if (fstat(in, &now) != 0 ||
      fstatat(source_dir, name.c_str(), &at_path, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;
  }
  return !same_state(now, before) || !same_state(at_path, now);
}

bool copy_bytes(int in, int out) {
  char buffer[64 * 1024];
  for (off_t at = 0;;) {
    ssize_t n = pread(in, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    if (!write_at(out, buffer, n, at)) return false;
    at += n;
  }
}
