// treelock.cpp: a lock on the root of each tree for the length of a
// synchronisation.
//
// The lock is flock(LOCK_EX | LOCK_NB) on the root directory, which every
// run of this program takes before it changes anything, and which the
// kernel drops when the process ends, however it ends.  The handle held on
// the root is opened with O_PATH, on which flock does not work, so the root
// is opened again through it: by /proc, which asks for read permission
// only, or else relative to the handle.  The new descriptor stays open,
// and the lock with it, until the process ends.

#include "treelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "handles.h"

// The directory of the handle `fd`, opened for reading; -1 if it cannot be.
static int reopen_for_lock(int fd) {
  int opened = reopen_directory(fd);
  if (opened >= 0) return opened;
  return openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

TreeLock lock_tree(const Tree& tree) {
  TreeLock lock;
  if (tree.fd < 0) return lock;
  lock.fd = reopen_for_lock(tree.fd);
  if (lock.fd < 0) return lock;
  int locked;
  do {
    locked = flock(lock.fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) return lock;
  // Held by another run; any other failure means no lock on this file
  // system (NFS may refuse one on a directory), and the run goes on.
  lock.busy = errno == EWOULDBLOCK;
  close(lock.fd);
  lock.fd = -1;
  return lock;
}

bool same_root(const Tree& a, const Tree& b) {
  struct stat sa, sb;
  if (a.fd < 0 || b.fd < 0 || fstat(a.fd, &sa) != 0 || fstat(b.fd, &sb) != 0)
    return false;
  return same_file(sa, sb);
}
