// patch.h: an update built as a clone of the file it replaces, with only the
// ranges written where the source differs, where the file system can clone.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "progress.h"

/// The file that an update replaces, beside the update's temporary file.
struct ReplacedFile {
  int dir_fd = -1;    // the directory of both
  std::string name;   // the replaced file's name in it
  struct stat st {};  // the replaced file's status, as checked
};

/// Fills the new, empty temporary file `out` with the content of the source
/// `in` (of status `in_st`), with copy_content's result and progress on
/// `status`.  Where the file system of `replaced` can clone, the source lies
/// on another one and holds enough of the replaced file's bytes, `out`
/// becomes a clone of the replaced file with the ranges written over it
/// where the source differs; elsewhere the source is copied whole.  The
/// replaced file is only read.
off_t patch_content(int in, int out, const ReplacedFile& replaced,
                    const struct stat& in_st, CopyStatus& status);
