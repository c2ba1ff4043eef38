// reuse.cpp: copies made of what the target tree already holds.
//
// Where the target of an update holds the source's bytes, it is kept and
// only given the source's mode and time; where a copy into a tree has the
// size and time of a file the answer deletes there, that file is taken as
// the copy's temporary file (see moves.cpp for which file a copy may take).
// A reused file is what a copy would be: compared byte for byte with the
// source, letting in no one the copy would not, and unchanged since its
// comparison at its rename or install; otherwise it is put back and the
// copy written after all.

#include "reuse.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "acl.h"
#include "content.h"
#include "fskind.h"
#include "handles.h"
#include "output.h"
#include "owners.h"
#include "path.h"
#include "placing.h"
#include "progress.h"
#include "putback.h"
#include "readback.h"
#include "xattrs.h"

// Whether a new file in directory `dir_fd` gets the group `gid`: the
// directory's where it passes its group on, else the process's.
static bool is_new_files_group(int dir_fd, gid_t gid) {
  struct stat dir;
  if (fstat(dir_fd, &dir) != 0) return false;
  return gid == ((dir.st_mode & S_ISGID) != 0 ? dir.st_gid : getegid());
}

// Whether the process belongs to group `gid`, and may give a file to it.
static bool is_own_group(gid_t gid) {
  if (gid == getegid()) return true;
  gid_t groups[256];
  int count = getgroups(256, groups);
  for (int i = 0; i < count; ++i) {
    if (groups[i] == gid) return true;
  }
  return false;
}

// Whether the file of status `st`, reused in directory `dir_fd` for the copy
// instead of a file it writes, has the owner and group that file would end
// with, so that it is never given away: the source's where the process may
// give files away, else the process's own, or for an update the replaced
// file's where it may.
static bool has_copys_owner(const PendingCopy& copy, int dir_fd,
                            const struct stat& st) {
  if (may_give_away()) {
    return st.st_uid == copy.source_st.st_uid &&
           st.st_gid == copy.source_st.st_gid;
  }
  if (st.st_uid != geteuid()) return false;
  return is_new_files_group(dir_fd, st.st_gid) ||
         (!copy.create && is_own_group(st.st_gid));
}

// Whether the open file `fd` carries the attribute `name`.
static bool has_attribute(int fd, const char* name) {
  if (fgetxattr(fd, name, nullptr, 0) >= 0) return true;
  return errno != ENODATA && errno != EOPNOTSUPP && errno != ENOSYS;
}

// Whether the open file `fd`, of status `st`, may be reused for the copy:
// it lets in no one the copy would not.  Its owner and group are the copy's,
// it has no other link, no one else may write it who could not write the
// copy (no write bit beyond the source's, no ACL), and the copy carries no
// set-ID bit and no capability, which a writer holding the file open from
// before could pass to bytes of their own.  A file system that holds no
// owners and modes gives every file, a copy too, those of its mount.
static bool lets_in_no_more(const PendingCopy& copy, int dir_fd, int fd,
                            const struct stat& st) {
  const mode_t source_mode = copy.source_st.st_mode;
  bool as_copy = copy.to->modeless ||
                 ((st.st_mode & 0022 & ~source_mode) == 0 &&
                  has_copys_owner(copy, dir_fd, st));
  return S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         (source_mode & (S_ISUID | S_ISGID)) == 0 && as_copy &&
         !has_attribute(fd, "system.posix_acl_access") &&
         !has_attribute(fd, "security.capability");
}

// Opens `name` in `dir_fd` for a comparison of its bytes, past the page
// cache where the copy is on a carried drive; -1 on failure or where it is
// no regular file.  `st` gets its status.
static int open_to_compare(const PendingCopy& copy, int dir_fd,
                           const std::string& name, struct stat& st) {
  int flags = copy.to->carried ? O_RDONLY | O_DIRECT : O_RDONLY;
  int fd = open_regular(dir_fd, name.c_str(), st, flags);
  if (fd < 0 && errno == EINVAL && copy.to->carried) {
    fd = open_regular(dir_fd, name.c_str(), st);
  }
  return fd;
}

// Whether the open file `fd` holds the bytes of the copy's source `in`, and
// the source stayed what it was while it was read.
static bool holds_source_bytes(PendingCopy& copy, int fd, int in) {
  off_t size = copy.source_st.st_size;
  CopyStatus status =
      start_read_back_status(copy.target, static_cast<std::uint64_t>(size));
  int same = compare_bytes(fd, in, size, copy.to->carried,
                           [&](std::uint64_t checked) {
                             show_copy_status(status, checked);
                           });
  end_shown_status(status);
  return same == 0 &&
         !source_changed(in, copy.source_dir, copy.name, copy.source_st);
}

// Whether the open file `fd` in directory `dir_fd`, kept in place for a
// copy, ends as the copy's own file would: no default ACL in the directory
// that a new file would get, not append-only or immutable (which a copy
// could not replace), and room for a new inode.
static bool is_plain_in_place(int dir_fd, int fd) {
  int dir = reopen_directory(dir_fd);
  bool plain = dir >= 0 && !has_attribute(dir, "system.posix_acl_default");
  struct statvfs vfs;
  plain = plain && (fstatvfs(dir, &vfs) != 0 || vfs.f_files == 0 ||
                    vfs.f_favail > 0);
  if (dir >= 0) close(dir);
  int flags = 0;
  return plain && (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
                   (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0);
}

// Whether the open file `fd` carries attributes that a copy would not: those
// bound to the old bytes or granting a privilege, and those of the security
// or trusted namespaces that this process could not carry over.
static bool has_foreign_attributes(int fd) {
  const bool root = geteuid() == 0;
  char names[4096];
  ssize_t size = flistxattr(fd, names, sizeof names);
  if (size < 0) return errno != EOPNOTSUPP && errno != ENOSYS;
  for (ssize_t at = 0; at < size;
       at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    std::string_view name(names + at);
    if (stays_behind(name)) return true;
    if (!root && (name.starts_with("security.") || name.starts_with("trusted."))) {
      return true;
    }
  }
  return false;
}

// Whether the file of status `now` has the size and time of status `was`:
// no one wrote it in between.
static bool kept_size_and_time(const struct stat& now, const struct stat& was) {
  return now.st_size == was.st_size &&
         now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == was.st_mtim.tv_nsec;
}

// Gives the open file `fd`, reused for `copy`, the source's time, its status
// afterwards in `fitted`; a taken file's record learns the time it got.
// False where it was written since its status `st` was read, or the time's
// failure is recorded.
static bool give_source_time(PendingCopy& copy, const struct stat& st,
                             struct stat& fitted) {
  struct stat before;
  // The time given hides the time of a write: one made before is told here.
  if (fstat(copy.out, &before) != 0 || !kept_size_and_time(before, st)) {
    return false;
  }
  fitted = {};
  if (copy.moved) copy.move->left = copy.source_st.st_mtim;
  bool timed = set_and_check_times(copy, fitted);
  if (copy.moved && fitted.st_ino != 0) copy.move->left = fitted.st_mtim;
  return timed;
}

// Gives the reused file `copy.out`, of status `st`, the source's ACL and
// the permission bits of copy_mode (a file system that holds none keeps
// its own) and time, its status afterwards in `fitted`.  False where a
// step failed, or the file was written or another name linked to it
// meanwhile, with the time's failure recorded.
static bool fit_reused(PendingCopy& copy, const struct stat& st,
                       struct stat& fitted) {
  mode_t mode = copy_mode(copy.source_st, copy.from->modeless,
                          copy.create ? nullptr : &st, st.st_uid, st.st_gid);
  if (int error = give_acl(copy.out, copy.acl, mode, mode); error != 0) {
    return errno = error, false;
  }
  if (!copy.to->modeless &&
      ((st.st_mode & 07777) != mode || !copy.acl.access.empty()) &&
      fchmod(copy.out, mode) != 0) {
    return false;
  }
  if (!give_source_time(copy, st, fitted)) return false;
  copy.device = fitted.st_dev;
  return fitted.st_nlink == 1 && fitted.st_size == st.st_size;
}

bool is_unchanged(int fd, const struct stat& st) {
  struct stat now;
  return fstat(fd, &now) == 0 && same_state(now, st) && now.st_nlink == 1;
}

// Where the target of an update, of status `st` in `dir_fd`, already holds
// the source's bytes, keeps it open in `copy.out`: the rename then only
// gives it the source's mode and time.  Only a target that lets in no one
// the copy would not is kept.
bool keep_same_target(PendingCopy& copy, int dir_fd, int in,
                      const struct stat& st) {
  if (!copy.reuse || st.st_size != copy.source_st.st_size ||
      st.st_nlink != 1) {
    return false;
  }
  struct stat opened;
  int fd = open_to_compare(copy, dir_fd, copy.name, opened);
  // A copy needs to make its temporary file in the directory, and keeps
  // what a new file gets there; asked only of the few targets that hold
  // the bytes.
  if (fd >= 0 && same_file(opened, st) &&
      lets_in_no_more(copy, dir_fd, fd, opened) &&
      holds_source_bytes(copy, fd, in) &&
      faccessat(dir_fd, ".", W_OK | X_OK, AT_EACCESS) == 0 &&
      is_plain_in_place(dir_fd, fd) && !has_foreign_attributes(fd)) {
    copy.out = fd;
    copy.same = true;
    copy.reused_st = opened;
    copy.device = st.st_dev;
    return true;
  }
  if (fd >= 0) close(fd);
  return false;
}

// Whether the open file `fd`, of status `st`, may become the copy in place
// of the deleted file of `copy.move`: still what the scan saw, the source's
// size, no attributes of its own, letting in no one the copy would not.
static bool may_take(const PendingCopy& copy, int dir_fd, int fd,
                     const struct stat& st) {
  const Move& move = *copy.move;
  return st.st_size == copy.source_st.st_size &&
         (move.held ? st.st_dev == move.device && st.st_ino == move.inode
                    : st.st_mtim.tv_sec == move.seconds &&
                          is_scanned(*move.tree, move.inode, st)) &&
         lets_in_no_more(copy, dir_fd, fd, st) &&
         flistxattr(fd, nullptr, 0) <= 0;
}

// Takes the file that the answer deletes, named in `copy.move`, as the
// copy's temporary file in `dir_fd` where it holds the source's bytes, and
// gives it the source's mode and time.  False where it is not taken, or
// was put back: the copy then writes its own.
bool take_deleted_file(PendingCopy& copy, int dir_fd, int in) {
  Move& move = *copy.move;
  // A held file is reached through the handle it was moved through.
  int from_dir = move.held && move.hold_fd >= 0
                     ? fcntl(move.hold_fd, F_DUPFD_CLOEXEC, 0)
                     : open_beneath(*copy.to, parent_of(move.path));
  if (from_dir < 0) return false;
  std::string name = name_of(move.path), temp;
  struct stat st;
  int fd = open_to_compare(copy, from_dir, name, st);
  bool taken = fd >= 0 && may_take(copy, dir_fd, fd, st) &&
               holds_source_bytes(copy, fd, in) &&
               is_plain_in_place(dir_fd, fd) && is_unchanged(fd, st) &&
               move_to_temp(from_dir, name, dir_fd, temp, st);
  close(from_dir);
  if (!taken) {
    if (fd >= 0) close(fd);
    return false;
  }
  move.taken_st = st;
  move.device = st.st_dev;
  move.inode = st.st_ino;
  move.at_parent = copy.parent;
  move.at_name = temp;
  move.left = st.st_mtim;
  move.taken = true;
  copy.temp = temp;
  copy.out = fd;
  copy.moved = true;
  // Unchanged since its comparison (the rename changed its ctime alone),
  // and given the source's mode and time; otherwise it goes back and the
  // copy is written.
  struct stat now;
  bool same = fstat(fd, &now) == 0 && now.st_nlink == 1 &&
              (kept_size_and_time(now, st) ||
               (rename_stamps_time(*copy.to) && now.st_size == st.st_size));
  if (same) move.left = now.st_mtim;
  if (same && fit_reused(copy, now, copy.reused_st)) return true;
  copy.errors.clear();
  copy.ok = true;
  copy.dir_fd = dir_fd;
  drop_temp(copy);
  copy.dir_fd = -1;
  if (copy.out >= 0) close(copy.out);
  copy.out = -1;
  copy.moved = false;
  copy.temp.clear();
  if (!move.taken) return false;  // back at its path: the copy is written
  // It could not go back, and its deletion removes it where it stands.
  copy_failed(copy, std::strerror(EBUSY));
  return true;
}

// Installs the kept target of `copy`, of status `st` at its name: only its
// mode and time change, where it is still the file compared and unchanged
// since.  Where it changed but may still be replaced, or its status cannot
// be set, what was set goes back and the copy is to be written after all.
bool install_kept(PendingCopy& copy, const struct stat& st) {
  struct stat kept, fitted{};
  if (fstat(copy.out, &kept) != 0 || !same_file(kept, st)) {
    return discard_copy(copy, kNotOlder), false;
  }
  bool unchanged = same_state(kept, copy.reused_st) && kept.st_nlink == 1;
  if (unchanged && fit_reused(copy, kept, fitted)) {
    return copy.renamed = true;
  }
  struct stat now;
  if (unchanged && fstat(copy.out, &now) == 0 &&
      now.st_size == kept.st_size) {
    // What was set goes back, for a name linked to it meanwhile; a time
    // another's write gave it stays.
    fchmod(copy.out, copy.reused_st.st_mode & 07777);
    bool timed = fitted.st_ino != 0 && kept_size_and_time(now, fitted);
    timespec times[2] = {copy.reused_st.st_atim, copy.reused_st.st_mtim};
    if (timed || kept_size_and_time(now, kept)) futimens(copy.out, times);
  }
  copy.errors.clear();
  copy.ok = true;
  close(copy.out);
  copy.out = -1;
  return true;
}

bool stayed_unchanged(PendingCopy& copy) {
  struct stat now;
  const struct stat& fitted = copy.reused_st;
  if (fstat(copy.out, &now) != 0 || !same_file(now, fitted) ||
      now.st_nlink != 1) {
    return false;
  }
  if (kept_size_and_time(now, fitted)) return true;
  // The rename gave it its own time, which the copy's time replaces.
  if (!rename_stamps_time(*copy.to) || now.st_size != fitted.st_size) {
    return false;
  }
  copy.move->left = now.st_mtim;
  return true;
}

// After its rename, the taken file of `copy` turned out changed: it goes
// back to a temporary name, then back where it was taken from, and the
// copy is to be written after all.
bool redo_taken(PendingCopy& copy) {
  struct stat st;
  if (fstat(copy.out, &st) != 0 ||
      !move_to_temp(copy.dir_fd, copy.name, copy.dir_fd, copy.temp, st)) {
    return copy_failed(copy, std::strerror(errno));
  }
  copy.renamed = false;
  copy.move->at_name = copy.temp;
  copy.move->installed = false;
  drop_temp(copy);
  if (copy.out >= 0) close(copy.out);
  copy.out = -1;
  return true;
}
