// putback.h: a deleted file that a copy may take, and what a copy undoes
// where it fails or the run stops: its temporary file goes, and a file it
// took goes back where it stood, with its owner, mode and times.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "beneath.h"
#include "pendingcopy.h"

/// A file that the answer deletes and a copy into its tree may take.
struct Move {
  const Tree* tree = nullptr;
  std::string own_path;      // its path below the root, as the scan saw it
  std::string path;          // where it stands: `own_path`, or its held name
  std::int64_t seconds = 0;  // its time as the scan saw it
  std::uint64_t inode = 0;   // its inode as the scan saw it; once taken or
  dev_t device = 0;          // held, the file's own, on this device
  off_t size = -1;           // its size; -1 while unknown
  bool held = false;         // deleted and reported, kept at the root
  bool reported = false;     // its deletion line is written
  bool reserved = false;     // a copy in flight may take it
  bool taken = false;        // a copy took it: at `at_parent`/`at_name`
  bool installed = false;    // that copy stands at its target
  bool stuck = false;        // its copy failed and it could not go back
  bool changed = false;      // written by another while taken: it stays
  int error = 0;             // errno of a held file that could not go
  int hold_fd = -1;          // the directory it is held in, once held
  std::string at_parent, at_name;
  std::string created;       // the topmost directory made for that copy,
                             // told when the run stops
  struct stat taken_st {};   // its owner, group, mode and times when taken
  timespec left{};           // its time as the run last left it
  std::atomic<bool> running{false};
};

/// Whether a rename in `tree` gives the file renamed the time of the rename
/// (FAT through FUSE does): there only its size tells a write across one.
bool rename_stamps_time(const Tree& tree);
/// Whether the taken file of `move`, of status `now`, was written by another
/// since it was taken: its size, or a time the run did not give it.
bool was_written(const Move& move, const struct stat& now);
/// Puts a taken file, open as `fd` (or -1), back at its own path with its
/// old owner, mode and times after its copy failed, while its deletion is
/// not reported; where it cannot, its deletion removes it where it stands.
/// One written by another meanwhile is marked changed and keeps the time
/// of that write.
void put_back(Move& move, int fd);
/// Renames the taken file of `move`, open as `fd` (or -1), back to its own
/// path with its old status; false with errno set where it stays.
bool rename_back(Move& move, int fd);
/// Writes the file `move` was taken from anew at its own path, from the
/// copy in place, with its owner, mode and times; false with errno set.
bool write_back(Move& move);
/// Records `reason` as the copy's failure and removes its temporary file,
/// unless it already stands at the target's path.
void discard_copy(PendingCopy& copy, const std::string& reason);
/// Removes the temporary file of `copy`, or puts the file it took back
/// where it stood while its deletion is not yet reported.
void drop_temp(PendingCopy& copy);
