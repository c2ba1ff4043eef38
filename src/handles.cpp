// handles.cpp: identity of files and handles opened anew.

#include "handles.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>

#include <string>

int stat_unread(int dir_fd, const char* path, int flags, struct stat& st,
                bool fresh) {
  struct statx sx;
  unsigned mask = STATX_BASIC_STATS & ~unsigned{STATX_ATIME};
  flags |= fresh ? AT_STATX_FORCE_SYNC : AT_STATX_SYNC_AS_STAT;
  if (statx(dir_fd, path, flags, mask, &sx) != 0) return -1;
  st = {};
  st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  st.st_ino = sx.stx_ino;
  st.st_mode = sx.stx_mode;
  st.st_nlink = sx.stx_nlink;
  st.st_uid = sx.stx_uid;
  st.st_gid = sx.stx_gid;
  st.st_size = static_cast<off_t>(sx.stx_size);
  st.st_blksize = sx.stx_blksize;
  st.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
  st.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
  st.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
  st.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
  return 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int reopen_directory(int fd) {
  return open(("/proc/self/fd/" + std::to_string(fd)).c_str(),
              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::size_t open_files_share(std::size_t reserve, std::size_t parts,
                             std::size_t fallback) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= reserve) {
    return fallback;
  }
  return static_cast<std::size_t>((limit.rlim_cur - reserve) / parts);
}
