// filecopy.cpp: the steps of one copy, each run by a worker.
//
// A copy writes a temporary file beside the target, private to the run's
// user while its bytes are written, then gives it its owner, the source's
// ACL, permission bits and modification time and renames it into place, so
// a copy that fails leaves the old target byte for byte as it was.  An update
// replaces the target only while it is still older than the source, in whole
// seconds; a copy of a one-sided file never replaces anything that stands at
// the target path.  A source that changed while it was copied, or ended
// early, is refused.  No step writes to standard output or standard error:
// each records its failure in the copy, for the planning thread to write
// out in the listing's order.
//
// A copy is written only where the target tree holds no file with its
// bytes that it may reuse instead (see reuse.cpp).

#include "filecopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "acl.h"
#include "content.h"
#include "fskind.h"
#include "handles.h"
#include "output.h"
#include "patch.h"
#include "path.h"
#include "placing.h"
#include "progress.h"
#include "putback.h"
#include "readback.h"
#include "reuse.h"

namespace {

const char kTimeNotHeld[] = "Das Dateisystem kann diese Zeit nicht speichern";
const char kSourceChanged[] = "Quelle wurde während des Kopierens geändert";

}  // namespace

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
  copy.source_dir = open_beneath(*copy.from, parent_of(copy.relative_path),
                                 note_source_owners(copy));
  if (copy.source_dir < 0) {
    int error = errno;
    if (is_refused_path(error)) return copy_failed(copy, reason_of(error));
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
  int error = fd >= 0 && same_file(opened, st) ? read_acl(fd, false, copy.acl)
                                               : -1;
  if (error == 0) return fd;
  if (error > 0) return close(fd), copy_failed(copy, std::strerror(error)), -1;
  error = errno;
  if (fd >= 0) close(fd);
  // Anything but the file whose status was read is a change.
  bool changed = fd >= 0 || error == EINVAL || error == ELOOP;
  copy_failed(copy, changed ? kSourceChanged : std::strerror(error));
  return -1;
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
    ReplacedFile old{dir_fd, copy.name, *replaced};
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
  // Private while its bytes are written, whatever group or default ACL
  // its directory hands down: no one but the run's user may open it before
  // it has its owner, ACL and mode.
  copy.out = create_temp(dir_fd, 0600, copy.temp);
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

bool write_copy(PendingCopy& copy) {
  int dir_fd = open_beneath(*copy.to, copy.parent, target_dirs_rule(copy));
  if (dir_fd < 0) copy_failed(copy, reason_of(errno));
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

// Writes the temporary file of `copy` from its source after all, in place
// of a reused file that changed since its comparison or could not be given
// the source's status: made durable and read back as a written copy is.
// `replaced` is the target that stands, if any.  Records its own failure.
static bool write_anew(PendingCopy& copy, const struct stat* replaced) {
  copy.same = copy.moved = false;
  copy.source_dir = open_beneath(*copy.from, parent_of(copy.relative_path));
  int in = copy.source_dir >= 0 ? open_source(copy)
                                : (copy_failed(copy, reason_of(errno)), -1);
  bool ok = in >= 0 && write_temp(copy, copy.dir_fd, in, replaced);
  if (ok && fsync(copy.out) != 0) {
    ok = false;
    discard_copy(copy, std::strerror(errno));
  }
  if (ok && is_read_back(copy)) {
    std::string reason = read_back_file(copy.dir_fd, copy.temp, in,
                                        copy.source_st.st_size, copy.target);
    if (!reason.empty()) ok = false, discard_copy(copy, reason);
  }
  for (int* fd : {&in, &copy.source_dir}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  return copy.ok = ok;
}

bool install_copy(PendingCopy& copy) {
  struct stat st;
  bool exists = false;
  std::string reason = refusal(copy.dir_fd, copy, st, exists);
  if (!reason.empty()) return discard_copy(copy, reason), false;
  if (copy.same) {
    if (!install_kept(copy, st)) return false;
    return copy.renamed || (write_anew(copy, &st) && install_copy(copy));
  }
  if (copy.moved && !is_unchanged(copy.out, copy.reused_st)) {
    drop_temp(copy);
    if (copy.out >= 0) close(copy.out);
    copy.out = -1;
    if (!write_anew(copy, nullptr)) return false;
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
    if (!stayed_unchanged(copy)) {
      return redo_taken(copy) && write_anew(copy, nullptr) && install_copy(copy);
    }
  }
  return keep_times_after_move(copy);
}

bool is_read_back(const PendingCopy& copy) {
  // A target kept or a file taken was compared as the drive returned it.
  return kReadBack && copy.to->carried && !copy.same && !copy.moved;
}
