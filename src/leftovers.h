// leftovers.h: the temporary files and directories that a run killed
// before its end left in a tree, removed by the next synchronisation.
#pragma once
#include <string>
#include <vector>

#include "beneath.h"

/// Removes the temporary names `paths` (below the root of `tree`, as the
/// scan passed over them) where a run can have left them: a regular file
/// with one link, or at the root a directory of the run's user with mode
/// 0700 and only such files in it.  Anything else stays and is reported.
/// Only while this run holds the tree's lock, when no other run can be
/// using them.  False after a reported failure.
bool remove_leftovers(const Tree& tree, const std::vector<std::string>& paths);
