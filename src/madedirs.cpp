// madedirs.cpp: the directories that one-sided copies need.
//
// The planning thread makes them, in the listing's order, so that which
// copy made a directory never depends on which worker came first; it
// remembers the directories it has found or made, so that the copies of a
// directory cost one look at it, not one each.  A directory that the run
// removes again is forgotten.

#include "madedirs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output.h"
#include "path.h"

// Remembers `path` and its ancestors as existing.
static void remember(KnownDirs& known, std::string path) {
  while (!path.empty() && known.paths.insert(path).second) {
    path = parent_of(path);
  }
}

bool make_parents(KnownDirs& known, PendingCopy& copy) {
  const Tree& to = *copy.to;
  copy.created.clear();
  if (copy.parent.empty() || known.paths.count(copy.parent) != 0) return true;
  int fd = open_beneath(to, copy.parent);
  int error = errno;
  if (fd < 0 && !is_refused_path(error) && to.fd >= 0) {
    std::string reached;
    fd = open_components(to.fd, copy.parent, true, reached, &copy.created);
    error = errno;
    if (fd < 0) {
      remove_created_dirs(to, reached, copy.created);
      copy.created.clear();
      if (!is_refused_path(error)) {
        return record_failure(copy, failure_line("Erstellen von",
                                                 full_path(to.root, reached),
                                                 error));
      }
    }
  }
  if (fd < 0) {
    return record_failure(copy, copy_failure_line(copy.source, copy.target,
                                                  std::strerror(error)));
  }
  close(fd);
  remember(known, copy.parent);
  return true;
}

bool remove_dir(const Tree& tree, const std::string& path) {
  int parent_fd = open_beneath(tree, parent_of(path));
  if (parent_fd < 0) return errno == ENOENT;
  bool gone = unlinkat(parent_fd, name_of(path).c_str(), AT_REMOVEDIR) == 0 ||
              errno == ENOENT || errno == ENOTDIR;
  close(parent_fd);
  return gone;
}

void forget_dir(KnownDirs& known, const std::string& path) {
  known.paths.erase(path);
}
