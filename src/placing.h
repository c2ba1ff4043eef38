// placing.h: the steps that put a file in place, beneath both the copy that
// writes a file and the reuse of one that stands: the temporary name and
// file, owner, mode, time and attributes, the rename without replacing.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "pendingcopy.h"

/// A fresh name for a temporary file of this run.
std::string next_temp_name();
/// A new temporary file in `dir_fd` with the permission bits `mode` (0600
/// for one private until it is finished), open for reading and writing, its
/// name in `name`; -1 with errno set on failure.
int create_temp(int dir_fd, mode_t mode, std::string& name);
/// Renames `from` of `from_dir` to `to` of `to_dir` only where nothing
/// stands at `to`; false with errno set on failure.
bool rename_without_replacing(int from_dir, const std::string& from,
                              int to_dir, const std::string& to);
/// Renames `name` of `from_dir`, the file of status `expected`, to a free
/// temporary name in `dir_fd`, kept in `temp`, never over anything; false
/// with errno set if it stays, or was another file (which goes back).
bool move_to_temp(int from_dir, const std::string& name, int dir_fd,
                  std::string& temp, const struct stat& expected);
/// Gives the open file `copy.out` the source's access and modification time
/// and reads its status back into `st`; records its own failure.
bool set_and_check_times(PendingCopy& copy, struct stat& st);
/// Gives the copy's file `copy.out`, of status `created`, in this order its
/// owner; the extended attributes and ACL of the replaced target (unless
/// `attrs_dir` is -1) as far as it lends them; the source's ACL, permission
/// bits and time.  Records its own failure.
bool give_owner_mode_time(PendingCopy& copy, const struct stat& created,
                          const struct stat* replaced, int attrs_dir = -1);
/// Sets the source's time once more, through its open handle, where the
/// file system stamped the time of the move onto the file just moved into
/// place; records its own failure.
bool keep_times_after_move(PendingCopy& copy);
