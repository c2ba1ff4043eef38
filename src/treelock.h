// treelock.h: one synchronisation of a tree at a time, by a lock on its
// root that another run of the program sees.
#pragma once

#include "beneath.h"

/// The lock on the root of one tree, held until the process ends.
struct TreeLock {
  int fd = -1;        // the root, opened again for the lock; -1 if none held
  bool busy = false;  // another process holds the lock
};

/// Takes an exclusive lock on the root of `tree` without waiting.  Where
/// the file system refuses locks, or the root cannot be opened for one, no
/// lock is held and the run goes on; only `busy` stops it.
TreeLock lock_tree(const Tree& tree);
/// Whether `a` and `b` hold handles on the same directory.
bool same_root(const Tree& a, const Tree& b);
