// placing.cpp: the steps that put a file in place.
//
// A copy, written or reused, is given its owner, mode and time on an open
// handle, under a temporary name that no one else may have taken, and
// renamed to its target's name only where that rename replaces nothing it
// must not.  A file written anew is made with mode 0600 and gets, once its
// bytes are in, its owner and group, then its ACL, then its mode, then its
// time: a change of owner clears set-ID bits, and setting an ACL may, so
// the mode comes after both.  A file system that cannot hold a mode is no
// failure; one that keeps another time than the source's is.

#include "placing.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "acl.h"
#include "fskind.h"
#include "handles.h"
#include "output.h"
#include "owners.h"
#include "path.h"
#include "xattrs.h"

namespace {

const char kTimeNotKept[] = "Das Dateisystem hat eine andere Zeit gespeichert";

}  // namespace

std::string next_temp_name() {
  static std::atomic<std::uint64_t> next_attempt{0};
  static const long pid = getpid();  // asked once, not once per copy
  return temp_file_name(pid, next_attempt++);
}

int create_temp(int dir_fd, mode_t mode, std::string& name) {
  // A name that stands already, left or put there by anyone, is passed
  // over for the next.
  for (;;) {
    name = next_temp_name();
    int fd = openat(dir_fd, name.c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
}

// Renames `from` in `from_dir` to `to` in `to_dir` only where nothing
// stands at `to`.  Where the file system lacks RENAME_NOREPLACE, the file is
// linked to the name (which fails where anything stands there) and its own
// name removed; where it lacks hard links as well, the name is checked to be
// free just before a plain rename.  False with errno set on failure.
bool rename_without_replacing(int from_dir, const std::string& from,
                              int to_dir, const std::string& to) {
  const char* old_name = from.c_str();
  const char* new_name = to.c_str();
  if (renameat2(from_dir, old_name, to_dir, new_name, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (linkat(from_dir, old_name, to_dir, new_name, 0) == 0) {
    unlinkat(from_dir, old_name, 0);  // a leftover is passed over
    return true;
  }
  if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  struct stat st;
  if (fstatat(to_dir, new_name, &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
  if (errno != ENOENT) return false;
  return renameat(from_dir, old_name, to_dir, new_name) == 0;
}

bool move_to_temp(int from_dir, const std::string& name, int dir_fd,
                  std::string& temp, const struct stat& expected) {
  for (;;) {
    temp = next_temp_name();
    if (!rename_without_replacing(from_dir, name, dir_fd, temp)) {
      if (errno != EEXIST) return false;
      continue;
    }
    // Where a link stood in for the rename, the old name must be gone; and
    // the file moved must be the one checked, not one put at its name.
    struct stat old_st, moved;
    bool ok = fstatat(from_dir, name.c_str(), &old_st, AT_SYMLINK_NOFOLLOW) != 0 &&
              fstatat(dir_fd, temp.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
              same_file(moved, expected);
    if (ok) return true;
    if (!rename_without_replacing(dir_fd, temp, from_dir, name)) {
      unlinkat(dir_fd, temp.c_str(), 0);  // a link's second name
    }
    errno = EBUSY;
    return false;
  }
}

// Gives the file `out`, which this run has just created, the permission bits
// `mode`; a file system that cannot hold them (`modeless`, or one without
// the call) is no failure.  False with errno set otherwise: the file would
// keep the mode it was made with.
static bool set_mode_where_possible(int out, mode_t mode, bool modeless) {
  if (fchmod(out, mode) == 0) return true;
  return errno == ENOSYS || errno == EOPNOTSUPP || (modeless && errno == EPERM);
}

// Whether a stored modification second keeps the source's: the same second,
// or the one before it where the file system keeps only even seconds.
static bool keeps_second(time_t stored, time_t source) {
  return stored == source || stored == source - 1;
}

// Gives the open file `out` the source's access and modification time and
// reads its status back into `st`; records its own failure.
bool set_and_check_times(PendingCopy& copy, struct stat& st) {
  const struct stat& source_st = copy.source_st;
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (futimens(copy.out, times) != 0 || fstat(copy.out, &st) != 0) {
    return step_failed(copy, "Setzen des Zeitstempels für", copy.target, errno);
  }
  if (keeps_second(st.st_mtim.tv_sec, source_st.st_mtim.tv_sec)) return true;
  std::string reason = std::string(kTimeNotKept) + " (" +
                       std::to_string(st.st_mtim.tv_sec) + " statt " +
                       std::to_string(source_st.st_mtim.tv_sec) + ")";
  return record_failure(copy, failure_line("Setzen des Zeitstempels für",
                                           copy.target, reason));
}

// Gives the copy's file `out`, of status `created`, its owner (see
// give_copy_owner); the extended attributes and ACL of the replaced target
// `name` in `attrs_dir` (unless -1) as far as it lends them; the source's
// ACL; its permission bits (see copy_mode), set set-ID bits and all after
// the owner and the ACL, which set an ACL's mask as chmod does; and the
// source's time.  Records its own failure.
bool give_owner_mode_time(PendingCopy& copy, const struct stat& created,
                          const struct stat* replaced, int attrs_dir) {
  const struct stat& source_st = copy.source_st;
  uid_t uid;
  gid_t gid;
  bool chowned =
      give_copy_owner(copy.out, created, source_st, replaced, uid, gid);
  bool acl = !copy.acl.access.empty();
  // FAT and exFAT hold no attributes, and their inode numbers may change.
  if (replaced != nullptr && attrs_dir >= 0 && copy.to->kind == FsKind::Other) {
    KeptAttributes keep{lends_owners_attributes(*replaced, source_st), !acl};
    int error = copy_attributes(attrs_dir, copy.name, *replaced, keep,
                                copy.out, acl);
    if (error != 0) {
      return copy_failed(copy,
                         error == ESTALE ? kNotOlder : std::strerror(error));
    }
  }
  mode_t mode = copy_mode(source_st, copy.from->modeless, replaced, uid, gid);
  int error = give_acl(copy.out, copy.acl, mode, mode);
  if (error != 0) return copy_failed(copy, std::strerror(error));
  acl = acl || !copy.acl.access.empty();
  if ((chowned || acl || (created.st_mode & 07777) != mode) &&
      !set_mode_where_possible(copy.out, mode, copy.to->modeless)) {
    return copy_failed(copy, std::strerror(errno));
  }
  struct stat out_st;
  if (!set_and_check_times(copy, out_st)) return false;
  copy.device = out_st.st_dev;
  return true;
}

// Checks the time of the file just moved into place once more and sets it
// again, through its open handle, where the file system stamped the time of
// the move onto it (FAT through FUSE does); records its own failure.
bool keep_times_after_move(PendingCopy& copy) {
  struct stat st;
  const struct stat& source_st = copy.source_st;
  if (copy.out < 0 || (fstat(copy.out, &st) == 0 &&
                       keeps_second(st.st_mtim.tv_sec, source_st.st_mtim.tv_sec))) {
    return true;
  }
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (futimens(copy.out, times) != 0) {
    return step_failed(copy, "Setzen des Zeitstempels für", copy.target, errno);
  }
  return true;
}
