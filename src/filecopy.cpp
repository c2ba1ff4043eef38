// filecopy.cpp: the steps of one copy, each run by a worker.
//
// A copy writes a temporary file beside the target, gives it the source's
// permission bits and modification time and renames it into place, so a
// copy that fails leaves the old target byte for byte as it was.  An update
// replaces the target only while it is still older than the source, in whole
// seconds; a copy of a one-sided file never replaces anything that stands at
// the target path.  A source that changed while it was copied, or ended
// early, is refused.  No step writes to standard output or standard error:
// each records its failure in the copy, for the planning thread to write
// out in the listing's order.

#include "filecopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "content.h"
#include "fskind.h"
#include "handles.h"
#include "moves.h"
#include "output.h"
#include "owners.h"
#include "patch.h"
#include "path.h"
#include "progress.h"
#include "readback.h"
#include "xattrs.h"

namespace {

const char kNotOlder[] = "Ziel ist nicht älter als die Quelle";
const char kTimeNotKept[] = "Das Dateisystem hat eine andere Zeit gespeichert";
const char kTimeNotHeld[] = "Das Dateisystem kann diese Zeit nicht speichern";
const char kSourceChanged[] = "Quelle wurde während des Kopierens geändert";

}  // namespace

bool record_failure(PendingCopy& copy, const std::string& line) {
  copy.errors += line;
  return copy.ok = false;
}

// Records a failed copy of `copy` for `reason`; returns false.
static bool copy_failed(PendingCopy& copy, const std::string& reason) {
  return record_failure(copy,
                        copy_failure_line(copy.source, copy.target, reason));
}

// Records "Fehler beim <action> <path>: ..." for `copy`; returns false.
static bool step_failed(PendingCopy& copy, const char* action,
                        const std::string& path, int error) {
  return record_failure(copy, failure_line(action, path, error));
}

// Whether `a` is older than `b` by the comparison's rule: in whole seconds,
// more than `slack` seconds apart.
static bool is_older(const timespec& a, const timespec& b, std::int64_t slack) {
  return a.tv_sec < b.tv_sec && !times_match(a.tv_sec, b.tv_sec, slack);
}

// Why the file now at the target may not be replaced, or "" if it may;
// `exists` tells whether one stands there, with its status in `st`.  An
// update replaces only a regular file that is still older than the source;
// a new file replaces nothing.
static std::string refusal(int dir_fd, const PendingCopy& copy,
                           struct stat& st, bool& exists) {
  const char* name = copy.name.c_str();
  exists = fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists) return errno == ENOENT ? "" : std::strerror(errno);
  if (copy.create) return std::strerror(EEXIST);
  if (S_ISLNK(st.st_mode)) return std::strerror(ELOOP);
  if (!S_ISREG(st.st_mode)) return std::strerror(EINVAL);
  // Another file put at its name since the scan is not the one listed.
  if (!is_older(st.st_mtim, copy.source_st.st_mtim, copy.slack) ||
      !is_scanned(*copy.to, copy.target_inode, st)) {
    return kNotOlder;
  }
  if (faccessat(dir_fd, name, W_OK, AT_EACCESS) != 0) {
    return std::strerror(errno);
  }
  return "";
}

bool stat_copy_source(PendingCopy& copy) {
  copy.source_dir = open_beneath(*copy.from, parent_of(copy.relative_path));
  if (copy.source_dir < 0) {
    int error = errno;
    if (is_refused_path(error)) return copy_failed(copy, std::strerror(error));
    return step_failed(copy, "Lesen des Zeitstempels von", copy.source, error);
  }
  if (fstatat(copy.source_dir, copy.name.c_str(), &copy.source_st,
              AT_SYMLINK_NOFOLLOW) != 0) {
    return step_failed(copy, "Lesen des Zeitstempels von", copy.source, errno);
  }
  // Another file put at its name since the scan is not copied.
  if (!is_scanned(*copy.from, copy.source_inode, copy.source_st)) {
    return copy_failed(copy, kSourceChanged);
  }
  // A time the target's file system cannot hold is refused before anything
  // is written there.
  if (can_hold_time(copy.to->kind, copy.source_st.st_mtim.tv_sec)) return true;
  return record_failure(copy, failure_line("Setzen des Zeitstempels für",
                                           copy.target, kTimeNotHeld));
}

// Opens the source for reading, only a regular file and never through a
// link, and only the file whose status was read; -1 after a recorded
// failure.  A pipe or device put in its place is never waited on.
static int open_source(PendingCopy& copy) {
  const struct stat& st = copy.source_st;
  if (S_ISLNK(st.st_mode)) return copy_failed(copy, std::strerror(ELOOP)), -1;
  if (!S_ISREG(st.st_mode)) return copy_failed(copy, kSourceChanged), -1;
  struct stat opened;
  int fd = open_regular(copy.source_dir, copy.name.c_str(), opened);
  if (fd >= 0 && same_file(opened, st)) return fd;
  int error = errno;
  if (fd >= 0) close(fd);
  // Anything but the file whose status was read is a change.
  bool changed = fd >= 0 || error == EINVAL || error == ELOOP;
  copy_failed(copy, changed ? kSourceChanged : std::strerror(error));
  return -1;
}

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
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
}

// Gives the file `out`, which this run has just created, the permission bits
// `mode`; a file system that cannot hold them is no failure.  False with
// errno set otherwise.
static bool set_mode_where_possible(int out, mode_t mode) {
  if (fchmod(out, mode) == 0) return true;
  return errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM;
}

// Whether a stored modification second keeps the source's: the same second,
// or the one before it where the file system keeps only even seconds.
static bool keeps_second(time_t stored, time_t source) {
  return stored == source || stored == source - 1;
}

// Gives the open file `out` the source's access and modification time and
// reads its status back into `st`; records its own failure.
static bool set_and_check_times(PendingCopy& copy, struct stat& st) {
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

// Gives the copy's file `out`, of status `created`, the owner of the
// replaced target (if any) or else the source's, where the process may; the
// extended attributes and ACL of the replaced target `name` in `attrs_dir`
// (unless -1); the source's permission bits, its set-ID bits only where the
// owner or group is the source's, which set an ACL's mask as chmod does; and
// the source's time.  Records its own failure.
static bool give_owner_mode_time(PendingCopy& copy, const struct stat& created,
                                 const struct stat* replaced,
                                 int attrs_dir = -1) {
  const struct stat& source_st = copy.source_st;
  // An owner or mode that the file has already costs no call.
  bool chowned = false;
  if (replaced != nullptr && (created.st_uid != replaced->st_uid ||
                              created.st_gid != replaced->st_gid)) {
    chowned = fchown(copy.out, replaced->st_uid, replaced->st_gid) == 0;
  }
  if (replaced == nullptr) {
    chowned = give_source_owner(copy.out, created, source_st);
  }
  bool acl = false;
  if (replaced != nullptr && attrs_dir >= 0) {
    int error = copy_attributes(attrs_dir, copy.name, copy.out, acl);
    if (error != 0) return copy_failed(copy, std::strerror(error));
  }
  const struct stat& owner =
      !chowned ? created : replaced != nullptr ? *replaced : source_st;
  mode_t mode = kept_mode(source_st, owner.st_uid, owner.st_gid);
  if ((chowned || acl || (created.st_mode & 07777) != mode) &&
      !set_mode_where_possible(copy.out, mode)) {
    return copy_failed(copy, std::strerror(errno));
  }
  struct stat out_st;
  if (!set_and_check_times(copy, out_st)) return false;
  copy.device = out_st.st_dev;
  return true;
}

// Writes the content, owner, permission bits and time of the open source
// `in` into the copy's open temporary file in `dir_fd`, created with the
// status `created`; `replaced` is the target found at the start, if any,
// whose extended attributes it gets too.  Records its own failure.
static bool fill_temp(int in, int dir_fd, PendingCopy& copy,
                      const struct stat& created, const struct stat* replaced) {
  const struct stat& source_st = copy.source_st;
  CopyStatus status = start_copy_status(copy.target, source_st.st_size);
  off_t copied;
  if (replaced != nullptr && copy.reuse) {
    // An update may begin as a clone of the file it replaces.
    ReplacedFile old{dir_fd, copy.name, copy.temp, *replaced};
    copied = patch_content(in, copy.out, old, source_st, status);
  } else {
    copied = copy_content(in, copy.out, source_st, status);
  }
  end_shown_status(status);
  if (copied < 0) return copy_failed(copy, std::strerror(errno));
  if (copied != source_st.st_size ||
      source_changed(in, copy.source_dir, copy.name, source_st)) {
    return copy_failed(copy, kSourceChanged);
  }
  // Where the process may, the replacement keeps the old file's owner and a
  // new file takes the source's; the replacement keeps the old file's
  // extended attributes and ACL too.
  return give_owner_mode_time(copy, created, replaced, dir_fd);
}

// Writes the temporary file of `copy` into the open directory `dir_fd`
// from the open source `in`; records its own failure and leaves nothing.
static bool write_temp(PendingCopy& copy, int dir_fd, int in,
                       const struct stat* replaced) {
  copy.out = create_temp(dir_fd, copy.source_st.st_mode & 0777, copy.temp);
  if (copy.out < 0) return copy_failed(copy, std::strerror(errno));
  // Owner and mode as created, known without a round trip: a file system
  // answers the creation with them.
  struct stat created {};
  if (fstat(copy.out, &created) != 0) {
    created.st_mode = ~mode_t{0};  // unknown: every step is taken
    created.st_uid = ~uid_t{0};
    created.st_gid = ~gid_t{0};
  }
  if (fill_temp(in, dir_fd, copy, created, replaced)) return true;
  close(copy.out);
  copy.out = -1;
  unlinkat(dir_fd, copy.temp.c_str(), 0);
  return false;
}

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
// with, so that it is never given away: for an update the replaced file's
// where the process may give it, for a new file the source's where it may,
// else the process's own.  On FAT and exFAT the mount gives every file its
// owner.
static bool has_copys_owner(const PendingCopy& copy, int dir_fd,
                            const struct stat& st) {
  if (copy.to->kind == FsKind::Fat || copy.to->kind == FsKind::Exfat) {
    return true;
  }
  if (!copy.create && geteuid() == 0) return true;  // it is the replaced one
  if (copy.create && may_give_away()) {
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
// before could pass to bytes of their own.
static bool lets_in_no_more(const PendingCopy& copy, int dir_fd, int fd,
                            const struct stat& st) {
  const mode_t source_mode = copy.source_st.st_mode;
  return S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         (source_mode & (S_ISUID | S_ISGID)) == 0 &&
         (st.st_mode & 0022 & ~source_mode) == 0 &&
         has_copys_owner(copy, dir_fd, st) &&
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

// Whether the open file `fd` carries attributes of the security or trusted
// namespaces that this process could not carry over to a copy.
static bool has_foreign_attributes(int fd) {
  if (geteuid() == 0) return false;
  char names[4096];
  ssize_t size = flistxattr(fd, names, sizeof names);
  if (size < 0) return errno != EOPNOTSUPP && errno != ENOSYS;
  for (ssize_t at = 0; at < size;
       at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    std::string_view name(names + at);
    if (name.rfind("security.", 0) == 0 || name.rfind("trusted.", 0) == 0) {
      return true;
    }
  }
  return false;
}

// Gives the reused file `copy.out`, of status `st`, the source's permission
// bits (a file system that holds none keeps its own) and time.  False where
// a step failed, with the time's failure recorded.
static bool fit_reused(PendingCopy& copy, const struct stat& st) {
  mode_t mode = copy.source_st.st_mode & 0777;
  bool holds_modes =
      copy.to->kind != FsKind::Fat && copy.to->kind != FsKind::Exfat;
  if (holds_modes && (st.st_mode & 07777) != mode &&
      fchmod(copy.out, mode) != 0) {
    return false;
  }
  struct stat out_st;
  if (!set_and_check_times(copy, out_st)) return false;
  copy.device = out_st.st_dev;
  return true;
}

// Where the target of an update, of status `st` in `dir_fd`, already holds
// the source's bytes, keeps it open in `copy.out`: the rename then only
// gives it the source's mode and time.  Only a target that lets in no one
// the copy would not is kept.
static bool keep_same_target(PendingCopy& copy, int dir_fd, int in,
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

// Takes the file that the answer deletes, named in `copy.move`, as the
// copy's temporary file in `dir_fd` where it holds the source's bytes, and
// gives it the source's mode and time.  False where it is not taken, or
// was put back: the copy then writes its own.
static bool take_deleted_file(PendingCopy& copy, int dir_fd, int in) {
  Move& move = *copy.move;
  int from_dir = open_beneath(*copy.to, parent_of(move.path));
  if (from_dir < 0) return false;
  std::string name = name_of(move.path), temp;
  struct stat st;
  int fd = open_to_compare(copy, from_dir, name, st);
  bool taken = fd >= 0 && may_take(copy, dir_fd, fd, st) &&
               holds_source_bytes(copy, fd, in) &&
               is_plain_in_place(dir_fd, fd) &&
               move_to_temp(from_dir, name, dir_fd, temp, st);
  close(from_dir);
  if (!taken) {
    if (fd >= 0) close(fd);
    return false;
  }
  move.uid = st.st_uid;
  move.gid = st.st_gid;
  move.mode = st.st_mode;
  move.atime = st.st_atim;
  move.mtime = st.st_mtim;
  move.device = st.st_dev;
  move.inode = st.st_ino;
  move.at_parent = copy.parent;
  move.at_name = temp;
  move.taken = true;
  copy.temp = temp;
  copy.out = fd;
  copy.moved = true;
  // Unchanged since its comparison, and given the source's mode and time;
  // otherwise it goes back and the copy is written.
  struct stat now;
  if (fstat(fd, &now) == 0 && now.st_size == st.st_size &&
      now.st_nlink == 1 && now.st_mtim.tv_sec == st.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == st.st_mtim.tv_nsec && fit_reused(copy, now)) {
    return true;
  }
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

bool write_copy(PendingCopy& copy) {
  int dir_fd = open_beneath(*copy.to, copy.parent);
  if (dir_fd < 0) copy_failed(copy, std::strerror(errno));
  int in = dir_fd < 0 ? -1 : open_source(copy);
  bool ok = in >= 0;
  struct stat old_st;
  bool exists = false;
  if (ok) {
    std::string reason = refusal(dir_fd, copy, old_st, exists);
    if (!reason.empty()) ok = copy_failed(copy, reason);
  }
  if (ok && exists && keep_same_target(copy, dir_fd, in, old_st)) {
    // nothing to write
  } else if (ok && !exists && copy.move != nullptr &&
             take_deleted_file(copy, dir_fd, in)) {
    ok = copy.ok;
  } else if (ok) {
    ok = write_temp(copy, dir_fd, in, exists ? &old_st : nullptr);
  }
  if (ok) {
    copy.dir_fd = dir_fd;  // the copy holds it now
  } else if (dir_fd >= 0) {
    close(dir_fd);
  }
  if (ok && is_read_back(copy)) {
    copy.in = in;  // for the read-back
  } else if (in >= 0) {
    close(in);
  }
  close(copy.source_dir);
  copy.source_dir = -1;
  return copy.ok = ok;
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

// Checks the time of the file just moved into place once more and sets it
// again, through its open handle, where the file system stamped the time of
// the move onto it (FAT through FUSE does); records its own failure.
static bool keep_times_after_move(PendingCopy& copy) {
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

bool install_copy(PendingCopy& copy) {
  struct stat st;
  bool exists = false;
  std::string reason = refusal(copy.dir_fd, copy, st, exists);
  if (!reason.empty()) return discard_copy(copy, reason), false;
  if (copy.same) {
    // It stands there, still the file compared and unchanged since: only
    // its mode and time change.
    struct stat kept;
    if (fstat(copy.out, &kept) != 0 || !same_file(kept, st) ||
        !same_state(kept, copy.reused_st) || kept.st_nlink != 1) {
      return discard_copy(copy, kNotOlder), false;
    }
    copy.renamed = true;
    if (fit_reused(copy, kept)) return true;
    return copy.ok && copy_failed(copy, std::strerror(errno));
  }
  bool moved = exists ? renameat(copy.dir_fd, copy.temp.c_str(), copy.dir_fd,
                                 copy.name.c_str()) == 0
                      : rename_without_replacing(copy.dir_fd, copy.temp,
                                                 copy.dir_fd, copy.name);
  if (!moved) return discard_copy(copy, std::strerror(errno)), false;
  copy.renamed = true;
  if (copy.moved) {
    copy.move->at_name = copy.name;
    copy.move->installed = true;
  }
  return keep_times_after_move(copy);
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

bool is_read_back(const PendingCopy& copy) {
  // A target kept or a file taken was compared as the drive returned it.
  return kReadBack && copy.to->carried && !copy.same && !copy.moved;
}

void close_copy(PendingCopy& copy) {
  for (int* fd : {&copy.source_dir, &copy.in, &copy.dir_fd, &copy.out}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
