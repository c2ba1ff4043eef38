// handles.h: what two states of a file tell of its identity, and a
// directory's handle opened anew.
#pragma once
#include <sys/stat.h>

/// Whether `a` and `b` are states of one file: its device and inode.
bool same_file(const struct stat& a, const struct stat& b);
/// The directory of handle `fd` (an O_PATH one too) opened anew for reading
/// through /proc/self/fd, which asks for read permission only; -1 with
/// errno set where it cannot be (ENOENT: no /proc).
int reopen_directory(int fd);
