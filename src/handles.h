// handles.h: open handles: what two states of a file tell of its identity,
// a directory's handle opened anew, and the budget of open files.
#pragma once
#include <sys/stat.h>

#include <cstddef>

/// Whether `a` and `b` are states of one file: its device and inode.
bool same_file(const struct stat& a, const struct stat& b);
/// The directory of handle `fd` (an O_PATH one too) opened anew for reading
/// through /proc/self/fd, which asks for read permission only; -1 with
/// errno set where it cannot be (ENOENT: no /proc).
int reopen_directory(int fd);
/// A share of the open files the process may hold: beyond `reserve`, split
/// into `parts`; `fallback` where the limit is unknown or within the reserve.
std::size_t open_files_share(std::size_t reserve, std::size_t parts,
                             std::size_t fallback);
