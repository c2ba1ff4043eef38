// madedirs.h: the directories that one-sided copies need in their target
// tree, planned in the listing's order and made by the copies' workers.
#pragma once
#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "beneath.h"
#include "pendingcopy.h"

/// A directory made without its owner's write or search permission, which
/// gets its mode only once the copies into it are done.
struct ClosingDir {
  std::string path;
  mode_t mode = 0;
  dev_t device = 0;  // the directory made, and no other in its place
  ino_t inode = 0;
};

/// The directories of each tree that held a file when it was scanned, below
/// its root; a directory found elsewhere where a copy needs one is used only
/// where it lets in no one its source directory does not.
struct ScannedDirs {
  std::unordered_set<std::string> left, right;
};

/// Adds the directories above the file `path` to `dirs`.
void add_scanned_dirs(std::unordered_set<std::string>& dirs,
                      std::string_view path);

/// Directories below one tree's root that the run knows to exist.
struct KnownDirs {
  std::unordered_set<std::string> paths;
  std::unordered_set<std::string> made;  // those of them this run made
  std::vector<ClosingDir> closing;  // in the order they were made
};

/// What a worker does to give a one-sided copy its directory: make the
/// missing ones below `base`, which the run knows to exist.
struct DirWork {
  std::string base;                 // "" for the root
  // The directories the scan found files in, read by the worker; null
  // where every directory found may be used.
  const std::unordered_set<std::string>* scanned = nullptr;
  bool below_made = false;          // `base` was made by this run
  std::vector<std::string> made;    // the directories made, in order
  // The topmost directory made, even one refused once made or removed
  // again: the tree changed there all the same, and a source below it may
  // have been read while it stood; "" if none.
  std::string changed;
  std::vector<ClosingDir> closing;  // made; their mode waits for the end
};

/// Whether the directory of the one-sided `copy` is not known to exist.
bool needs_dirs(const KnownDirs& known, const PendingCopy& copy);
/// The deepest ancestor of `path` that the run knows to exist; "" for the
/// root.
std::string known_ancestor(const KnownDirs& known, std::string path);
/// The work of giving `copy` its directory, as far as the run knows now.
DirWork plan_dirs(const KnownDirs& known, const PendingCopy& copy);
/// Makes sure the directory of `copy` exists, making it and its missing
/// ancestors below `work.base`, the topmost one made in `copy.created`, each
/// with its source directory's owner (where the process may give files away)
/// and mode; false after a recorded failure, with nothing made left behind.
/// Runs on a worker and touches only `copy` and `work`.
bool make_planned_dirs(PendingCopy& copy, DirWork& work);
/// Takes what make_planned_dirs did for `copy` into `known`.
void take_made_dirs(KnownDirs& known, const PendingCopy& copy, DirWork& work);
/// Removes the directories a copy made: `deepest` and its ancestors up to
/// and including `first` ("" for none), deepest first, each only while it is
/// empty, up to the first that stays; one not there (or whose parent is not)
/// counts as gone.  Returns the topmost one gone, "" if none.
std::string remove_made_dirs(const Tree& tree, std::string deepest,
                             const std::string& first);
/// Gives the directories of `known` that wait for it their mode, the
/// deepest first.
void close_made_dirs(const Tree& tree, KnownDirs& known);
/// Forgets `path`, which the run has removed; it removes only empty ones,
/// so what was below it is forgotten already.
void forget_dir(KnownDirs& known, const std::string& path);
