// leftovers.h: the temporary files and directories that a run killed
// before its end left in a tree, removed by the next synchronisation.
#pragma once
#include <string>
#include <vector>

#include "beneath.h"

/// Removes the temporary names `paths` (below the root of `tree`, as the
/// scan passed over them): files, and directories with the files in them.
/// Only while this run holds the tree's lock, when no other run can be
/// using them.  False after a reported failure.
bool remove_leftovers(const Tree& tree, const std::vector<std::string>& paths);
