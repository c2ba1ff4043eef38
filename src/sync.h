// sync.h: brings two trees into line, never reaching outside them.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "beneath.h"
#include "casefold.h"
#include "compare.h"
#include "madedirs.h"

/// Copies each newer file of a differing pair over the older one, through
/// the handles of the two trees, with at most `in_flight` operations at
/// once (0: as many as the program takes); false if any copy failed.  With
/// `reuse`, a target that holds the source's bytes only gets its time.
bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const Tree& left, const Tree& right,
                          std::size_t in_flight = 0, bool reuse = true);
/// Deletes or copies the one-sided files as `missing_action` (l, r, b) says,
/// through the handles of the two trees, with at most `in_flight`
/// operations at once (0: as many as the program takes); false if any
/// operation failed.  With `cases`, a copy whose path matches one of the
/// target's index only when case is ignored is refused.  With `reuse`, a
/// copy of the bytes of a file that the answer deletes takes that file.
/// With `scanned`, a directory that a copy needs, where the scan found no
/// file, is used only where it lets in no one its source does not.
bool handle_missing(const std::vector<DiffEntry>& entries, const Tree& left,
                    const Tree& right, char missing_action,
                    std::size_t in_flight = 0, CaseIndexes* cases = nullptr,
                    bool reuse = true, const ScannedDirs* scanned = nullptr);
