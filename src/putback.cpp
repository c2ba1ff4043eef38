// putback.cpp: what a copy undoes.
//
// A copy that fails removes its temporary file; one that took a file the
// answer deletes renames it back to its own path instead, while its
// deletion is not yet reported, and gives it its old owner, mode and times
// through a handle of the file checked.  After a signal, a taken file whose
// copy stands already is written anew at its own path from that copy, so
// that every file gone has its deletion line and every copy made stays.

#include "putback.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "content.h"
#include "fskind.h"
#include "handles.h"
#include "path.h"
#include "placing.h"

// Whether the times `a` and `b` are the same.
static bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool was_written(const Move& move, const struct stat& now) {
  return now.st_size != move.taken_st.st_size ||
         (!same_time(now.st_mtim, move.taken_st.st_mtim) &&
          !same_time(now.st_mtim, move.left));
}

bool rename_stamps_time(const Tree& tree) { return tree.kind == FsKind::Fat; }

// Gives the open file `fd` the owner, mode and times `move` had.  A taken
// file written by another since, as its status `before` (null for a file
// written anew) tells, is marked changed, so that its deletion refuses, and
// keeps the time of that write; where the time the run gave it hid the
// write, it gets the present time.
static void restore_status(Move& move, int fd, const struct stat* before) {
  const struct stat& taken = move.taken_st;
  // Owner first: a change of owner clears set-ID bits.
  bool owned = fchown(fd, taken.st_uid, taken.st_gid) == 0 || errno == EPERM;
  if (owned) fchmod(fd, taken.st_mode & 07777);
  if (before != nullptr && was_written(move, *before)) {
    move.changed = true;
    if (same_time(before->st_mtim, move.left) &&
        !same_time(move.left, taken.st_mtim)) {
      timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
      futimens(fd, times);
    }
    return;
  }
  if (!owned) return;
  timespec times[2] = {taken.st_atim, taken.st_mtim};
  futimens(fd, times);
  // A write between the status read before and the time just set would be
  // hidden by that time: its size tells it, and the present time shows it.
  struct stat after;
  if (fstat(fd, &after) == 0 && after.st_size != taken.st_size) {
    move.changed = true;
    timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    futimens(fd, now);
  }
}

// Opens the file `name` of `dir_fd` where it is still the file of `move`;
// -1 otherwise.
static int open_moved(const Move& move, int dir_fd, const std::string& name) {
  struct stat st;
  int fd = dir_fd < 0 ? -1 : open_regular(dir_fd, name.c_str(), st);
  if (fd >= 0 && (st.st_dev != move.device || st.st_ino != move.inode)) {
    close(fd);
    errno = EBUSY;
    return -1;
  }
  return fd;
}

// Renames the taken file of `move`, open as `fd` (or -1), back to its own
// path with its old status, given through a handle of the file checked;
// false with errno set where it stays.
bool rename_back(Move& move, int fd) {
  const Tree& tree = *move.tree;
  int from = open_beneath(tree, move.at_parent, known_dirs_only(tree));
  int to = open_beneath(tree, parent_of(move.own_path));
  std::string name = name_of(move.own_path);
  int own = fd >= 0 ? fd : open_moved(move, from, move.at_name);
  // Read before the rename, which gives some file systems' files its time.
  struct stat before;
  bool read = own >= 0 && fstat(own, &before) == 0;
  bool back = own >= 0 && to >= 0 &&
              rename_without_replacing(from, move.at_name, to, name);
  int error = errno;
  if (back) restore_status(move, own, read ? &before : nullptr);
  for (int opened : {from, to, own == fd ? -1 : own}) {
    if (opened >= 0) close(opened);
  }
  errno = error;
  return back;
}

void put_back(Move& move, int fd) {
  if (!move.taken || move.held || move.reported) return;
  if (rename_back(move, fd)) {
    move.taken = false;
    return;
  }
  move.stuck = true;  // its deletion removes it where it stands
  move.path = move.at_parent.empty() ? move.at_name
                                     : move.at_parent + "/" + move.at_name;
}

// Writes the file `move` was taken from anew at its own path, from the copy
// in place, with its owner, mode and times; false with errno set.
bool write_back(Move& move) {
  const Tree& tree = *move.tree;
  int from = open_beneath(tree, move.at_parent, known_dirs_only(tree));
  int to = open_beneath(tree, parent_of(move.own_path));
  int in = open_moved(move, from, move.at_name);
  std::string temp;
  int out = to < 0 || in < 0 ? -1 : create_temp(to, 0600, temp);
  bool ok = out >= 0 && copy_bytes(in, out) && fsync(out) == 0;
  int error = errno;
  if (ok) restore_status(move, out, nullptr);
  if (out >= 0) close(out);
  std::string name = name_of(move.own_path);
  if (ok) {
    ok = rename_without_replacing(to, temp, to, name);
    error = errno;
  }
  if (out >= 0 && !ok) unlinkat(to, temp.c_str(), 0);
  for (int fd : {from, to, in}) {
    if (fd >= 0) close(fd);
  }
  errno = error;
  return ok;
}

void discard_copy(PendingCopy& copy, const std::string& reason) {
  copy_failed(copy, reason);
  drop_temp(copy);
}

void drop_temp(PendingCopy& copy) {
  if (copy.renamed || copy.same || copy.out < 0) return;
  if (copy.moved && !copy.move->held) {
    put_back(*copy.move, copy.out);
  } else {
    // Closed first: a FUSE driver keeps a file removed while open under a
    // hidden name until the close reaches it, which may come after the
    // removal of the directory that the copy made.
    close(copy.out);
    copy.out = -1;
    unlinkat(copy.dir_fd, copy.temp.c_str(), 0);
  }
}
