// filecopy.h: one file copied into a temporary file beside its target, and
// the temporary file renamed into place.
#pragma once
#include "pendingcopy.h"

/// Reads the source's status and checks that the target's file system can
/// hold its time; false after a recorded failure.
bool stat_copy_source(PendingCopy& copy);
/// Opens the target's directory (which must exist) and the source, checks
/// that the target may be replaced, and writes the temporary file with the
/// source's content, permission bits and time; false after a recorded
/// failure, with nothing left behind.
bool write_copy(PendingCopy& copy);
/// Checks the target once more and renames the temporary file into place;
/// false after a recorded failure.
bool install_copy(PendingCopy& copy);
/// Whether the copy is read back before its rename: its target lies on a
/// carried drive.
bool is_read_back(const PendingCopy& copy);
