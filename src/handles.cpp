// handles.cpp: identity of files and handles opened anew.

#include "handles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include <string>

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_state(const struct stat& a, const struct stat& b) {
  return same_file(a, b) && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int open_regular(int dir_fd, const char* name, struct stat& st, int flags) {
  int fd = openat(dir_fd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int error = fstat(fd, &st) != 0 ? errno : 0;
  if (error == 0 && S_ISREG(st.st_mode)) return fd;
  close(fd);
  if (error == 0) error = EINVAL;
  errno = error;
  return -1;
}

int reopen_directory(int fd) {
  return open(("/proc/self/fd/" + std::to_string(fd)).c_str(),
              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int is_empty_directory(int fd) {
  alignas(dirent64) char buffer[4096];
  long n;
  while ((n = getdents64(fd, buffer, sizeof buffer)) > 0) {
    for (long pos = 0; pos < n;) {
      auto* entry = reinterpret_cast<const dirent64*>(buffer + pos);
      pos += entry->d_reclen;
      const char* name = entry->d_name;
      if (!(name[0] == '.' && (name[1] == '\0' ||
                               (name[1] == '.' && name[2] == '\0')))) {
        return 0;
      }
    }
  }
  return n < 0 ? -1 : 1;
}

std::size_t open_files_share(std::size_t reserve, std::size_t parts,
                             std::size_t fallback) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= reserve) {
    return fallback;
  }
  return static_cast<std::size_t>((limit.rlim_cur - reserve) / parts);
}
