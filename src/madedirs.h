// madedirs.h: the directories that one-sided copies need in their target
// tree, made by the planning thread in the listing's order.
#pragma once
#include <string>
#include <unordered_set>

#include "beneath.h"
#include "filecopy.h"

/// Directories below one tree's root that the run knows to exist.
struct KnownDirs {
  std::unordered_set<std::string> paths;
};

/// Makes sure the directory of the one-sided `copy` exists, making it and
/// its missing ancestors, the topmost one made in `copy.created`; false
/// after a recorded failure, with nothing made left behind.
bool make_parents(KnownDirs& known, PendingCopy& copy);
/// Removes the empty directory `path` below the root of `tree`; true where
/// it is gone (or was not there), false where it stays.
bool remove_dir(const Tree& tree, const std::string& path);
/// Forgets `path`, which the run has removed; it removes only empty ones,
/// so what was below it is forgotten already.
void forget_dir(KnownDirs& known, const std::string& path);
