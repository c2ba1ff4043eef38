// leftovers.cpp: what a killed run left behind.
//
// A copy writes a temporary file beside its target, and files kept for a
// later copy wait in a private directory at the tree's root; a run killed
// before its end leaves them, under names that every scan passes over.
// While a run holds a tree's lock no other synchronisation of that tree
// runs, so every such name found by the scan is left over, and goes before
// this run changes anything.  Each is removed through the handle of its
// directory, never through a link; a directory only with the files in it,
// never anything below a directory of its own.

#include "leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "output.h"
#include "path.h"

// Removes every entry but subdirectories of the open directory `fd`; the
// errno of the first failure, or 0.
static int empty_directory(int fd) {
  int listed = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
  if (dir == nullptr) {
    int error = errno;
    if (listed >= 0) close(listed);
    return error;
  }
  int error = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT && error == 0) {
      error = errno;
    }
  }
  closedir(dir);
  return error;
}

// Removes the left-over `name` of directory `parent`; 0 or the errno.
static int remove_one(int parent, const std::string& name) {
  if (unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  int fd = openat(parent, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  int error = empty_directory(fd);
  close(fd);
  if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
    return 0;
  }
  return error != 0 ? error : errno;
}

bool remove_leftovers(const Tree& tree, const std::vector<std::string>& paths) {
  bool ok = true;
  for (const std::string& path : paths) {
    int parent = open_beneath(tree, parent_of(path));
    int error = parent < 0 ? errno : remove_one(parent, name_of(path));
    if (parent >= 0) close(parent);
    if (error != 0 && error != ENOENT) {
      ok = failed("Löschen von", full_path(tree.root, path), error);
    }
  }
  return ok;
}
