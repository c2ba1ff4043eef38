// handles.cpp: identity of files and handles opened anew.

#include "handles.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <string>

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
