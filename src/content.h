// content.h: a file's bytes copied into another open file, holes kept, and
// the check that the source stayed what it was.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "progress.h"

/// Copies the data regions of `in` (of status `in_st`) to `out` and gives
/// `out` that length, showing progress on `status`; returns the offset
/// reached, short of the size only where the source ended early, or -1
/// with errno set (EINTR where a signal asked the run to stop).
off_t copy_content(int in, int out, const struct stat& in_st,
                   CopyStatus& status);
/// Writes `n` bytes of `buffer` at `offset` of `out`; false with errno set.
bool write_at(int out, const char* buffer, ssize_t n, off_t offset);
/// The next region of data in `in` at or after `from`, as [data, hole);
/// false when none is left before `size`.  A file system that cannot tell
/// holes counts the rest as data.
bool next_data(int in, off_t from, off_t size, off_t& data, off_t& hole);
/// Whether the open source `in` is no longer in the state `before` its path
/// had when the copy began, or its name in `source_dir` names another file.
bool source_changed(int in, int source_dir, const std::string& name,
                    const struct stat& before);
/// Copies every byte of `in` to `out`, holes written out, with no status
/// line and even where a signal asked the run to stop; false with errno
/// set on failure.
bool copy_bytes(int in, int out);
