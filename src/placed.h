// placed.h: the copies a run has put in place on carried drives, read back
// once more at its end from a drive that returned wrong bytes.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct PendingCopy;
struct Tree;

/// A copy put in place on a carried drive.
struct PlacedCopy {
  const Tree* from = nullptr;  // the source's tree
  const Tree* to = nullptr;    // the target's tree
  std::string relative_path;   // below both roots
  std::string source;          // the source's full path, for messages
  std::string target;          // the target's full path, for messages
  dev_t device = 0;            // the target's file system
  struct stat source_st {};    // the source as it was copied
};

/// The copies of one run on carried drives, and the drives not trusted.
struct PlacedCopies {
  std::vector<PlacedCopy> copies;  // in the order they were put in place
  std::vector<dev_t> distrusted;   // drives a read-back found wrong bytes on
};

/// Notes `copy`, renamed into place on a carried drive.
void note_placed(PlacedCopies& placed, const PendingCopy& copy);
/// Notes that the drive of `copy` returned other bytes than were written.
void distrust_drive(PlacedCopies& placed, const PendingCopy& copy);
/// Reads back every noted copy on a distrusted drive; one that differs from
/// its unchanged source is reported and gets the time 1 January 1980, so
/// that the next run copies it again.  False if any differed.
bool recheck_placed(const PlacedCopies& placed);
