// handles.h: open handles: what two states of a file tell of its identity,
// a directory's handle opened anew, and the budget of open files.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>

/// Whether `a` and `b` are states of one file: its device and inode.
bool same_file(const struct stat& a, const struct stat& b);
/// Whether `a` and `b` are states of one file, unchanged: the same inode,
/// size, modification time and change time, to the nanosecond.
bool same_state(const struct stat& a, const struct stat& b);
/// Opens `name` in `dir_fd` with `flags` (O_RDONLY unless told), never
/// through a link and never waiting on a pipe or device, and reads its
/// status into `st`; -1 with errno set where it fails or is no regular file
/// (EINVAL).
int open_regular(int dir_fd, const char* name, struct stat& st,
                 int flags = O_RDONLY);
/// The directory of handle `fd` (an O_PATH one too) opened anew for reading
/// through /proc/self/fd, which asks for read permission only; -1 with
/// errno set where it cannot be (ENOENT: no /proc).
int reopen_directory(int fd);
/// Whether the directory open for reading as `fd` holds no entry: 1 empty,
/// 0 not, -1 with errno set where it cannot be read.
int is_empty_directory(int fd);
/// A share of the open files the process may hold: beyond `reserve`, split
/// into `parts`; `fallback` where the limit is unknown or within the reserve.
std::size_t open_files_share(std::size_t reserve, std::size_t parts,
                             std::size_t fallback);
