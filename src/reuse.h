// reuse.h: copies made of what the target tree already holds: a target
// that holds the source's bytes kept, a file the answer deletes taken.
#pragma once
#include <sys/stat.h>

#include "pendingcopy.h"

/// Where the target of an update, of status `st` in `dir_fd`, already holds
/// the bytes of the open source `in` and lets in no one the copy would not,
/// keeps it open in `copy.out`: its install only gives it the source's mode
/// and time.
bool keep_same_target(PendingCopy& copy, int dir_fd, int in,
                      const struct stat& st);
/// Takes the file that the answer deletes, named in `copy.move`, as the
/// copy's temporary file in `dir_fd` where it holds the bytes of `in`, and
/// gives it the source's mode and time.  False where it is not taken, or
/// was put back: the copy then writes its own.
bool take_deleted_file(PendingCopy& copy, int dir_fd, int in);
/// Whether the open file `fd` is still in the state `st`, with one link:
/// no one wrote it, linked it or changed its status since.
bool is_unchanged(int fd, const struct stat& st);
/// Installs the kept target of `copy`, of status `st` at its name, where it
/// is still the file compared and unchanged since: `copy.renamed` then
/// holds.  Otherwise, where it may still be replaced, the copy is to be
/// written after all; false after a recorded failure.
bool install_kept(PendingCopy& copy, const struct stat& st);
/// Whether the taken file of `copy`, just renamed into place, is still the
/// file given the source's status: the rename changed its ctime alone, or
/// its time where renames give one.
bool stayed_unchanged(PendingCopy& copy);
/// Moves the taken file of `copy`, which changed after its rename, to a
/// temporary name and back where it was taken from, for the copy to be
/// written after all; false after a recorded failure.
bool redo_taken(PendingCopy& copy);
