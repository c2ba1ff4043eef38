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
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "content.h"
#include "fskind.h"
#include "output.h"
#include "path.h"
#include "progress.h"
#include "readback.h"

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
  if (!is_older(st.st_mtim, copy.source_st.st_mtim, copy.slack)) {
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
  // A time the target's file system cannot hold is refused before anything
  // is written there.
  if (can_hold_time(copy.to->kind, copy.source_st.st_mtim.tv_sec)) return true;
  return record_failure(copy, failure_line("Setzen des Zeitstempels für",
                                           copy.target, kTimeNotHeld));
}

// Opens the source for reading, only a regular file and never through a
// link; -1 after a recorded failure.
static int open_source(PendingCopy& copy) {
  const struct stat& st = copy.source_st;
  if (S_ISLNK(st.st_mode)) return copy_failed(copy, std::strerror(ELOOP)), -1;
  if (!S_ISREG(st.st_mode)) return copy_failed(copy, std::strerror(EINVAL)), -1;
  int fd = openat(copy.source_dir, copy.name.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) copy_failed(copy, std::strerror(errno));
  return fd;
}

// A new temporary file in `dir_fd` with the permission bits `mode`; -1 with
// errno set on failure.
static int create_temp(int dir_fd, mode_t mode, std::string& name) {
  static std::atomic<int> next_attempt{0};
  static const long pid = getpid();  // asked once, not once per copy
  for (int tries = 0; tries < 100; ++tries) {
    name = temp_file_name(pid, next_attempt++);
    int fd = openat(dir_fd, name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
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

// Writes the content, owner, permission bits and time of the open source
// `in` into the copy's open temporary file, created with the status
// `created`; `replaced` is the target found at the start, if any.  Records
// its own failure.
static bool fill_temp(int in, PendingCopy& copy, const struct stat& created,
                      const struct stat* replaced) {
  const struct stat& source_st = copy.source_st;
  CopyStatus status = start_copy_status(copy.target, source_st.st_size);
  off_t copied = copy_content(in, copy.out, source_st, status);
  end_shown_status(status);
  if (copied < 0) return copy_failed(copy, std::strerror(errno));
  if (copied != source_st.st_size ||
      source_changed(in, copy.source_dir, copy.name, source_st)) {
    return copy_failed(copy, kSourceChanged);
  }
  // Where the process may, the replacement keeps the old file's owner.  An
  // owner or mode that the new file has already costs no call.
  bool chowned = false;
  if (replaced != nullptr && (created.st_uid != replaced->st_uid ||
                              created.st_gid != replaced->st_gid)) {
    chowned = fchown(copy.out, replaced->st_uid, replaced->st_gid) == 0;
  }
  mode_t mode = source_st.st_mode & 07777;
  if ((chowned || (created.st_mode & 07777) != mode) &&
      !set_mode_where_possible(copy.out, mode)) {
    return copy_failed(copy, std::strerror(errno));
  }
  struct stat out_st;
  if (!set_and_check_times(copy, out_st)) return false;
  copy.device = out_st.st_dev;
  return true;
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
  if (fill_temp(in, copy, created, replaced)) return true;
  close(copy.out);
  copy.out = -1;
  unlinkat(dir_fd, copy.temp.c_str(), 0);
  return false;
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
  if (ok) ok = write_temp(copy, dir_fd, in, exists ? &old_st : nullptr);
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

// Renames `temp` to `name` in `dir_fd` only where nothing stands at `name`.
// Where the file system lacks RENAME_NOREPLACE, the temporary file is linked
// to the name (which fails where anything stands there) and its own name
// removed; where it lacks hard links as well, the name is checked to be free
// just before a plain rename.  False with errno set on failure.
static bool move_into_place_without_replacing(int dir_fd,
                                              const std::string& temp,
                                              const std::string& name) {
  const char* from = temp.c_str();
  const char* to = name.c_str();
  if (renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (linkat(dir_fd, from, dir_fd, to, 0) == 0) {
    unlinkat(dir_fd, from, 0);  // the target stands; a leftover is passed over
    return true;
  }
  if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  struct stat st;
  if (fstatat(dir_fd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
  if (errno != ENOENT) return false;
  return renameat(dir_fd, from, dir_fd, to) == 0;
}

// Checks the time of the file just moved into place once more and sets it
// again where the file system stamped the time of the move onto it (FAT
// through FUSE does); records its own failure.
static bool keep_times_after_move(PendingCopy& copy) {
  struct stat st;
  const struct stat& source_st = copy.source_st;
  if (fstatat(copy.dir_fd, copy.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      keeps_second(st.st_mtim.tv_sec, source_st.st_mtim.tv_sec)) {
    return true;
  }
  timespec times[2] = {source_st.st_atim, source_st.st_mtim};
  if (utimensat(copy.dir_fd, copy.name.c_str(), times, AT_SYMLINK_NOFOLLOW) !=
      0) {
    return step_failed(copy, "Setzen des Zeitstempels für", copy.target, errno);
  }
  return true;
}

bool install_copy(PendingCopy& copy) {
  struct stat st;
  bool exists = false;
  std::string reason = refusal(copy.dir_fd, copy, st, exists);
  if (!reason.empty()) return discard_copy(copy, reason), false;
  bool moved = exists ? renameat(copy.dir_fd, copy.temp.c_str(), copy.dir_fd,
                                 copy.name.c_str()) == 0
                      : move_into_place_without_replacing(copy.dir_fd,
                                                          copy.temp, copy.name);
  if (!moved) return discard_copy(copy, std::strerror(errno)), false;
  copy.renamed = true;
  return keep_times_after_move(copy);
}

void discard_copy(PendingCopy& copy, const std::string& reason) {
  copy_failed(copy, reason);
  if (!copy.renamed && copy.out >= 0) {
    unlinkat(copy.dir_fd, copy.temp.c_str(), 0);
  }
}

bool is_read_back(const PendingCopy& copy) {
  return kReadBack && copy.to->carried;
}

void close_copy(PendingCopy& copy) {
  for (int* fd : {&copy.source_dir, &copy.in, &copy.dir_fd, &copy.out}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
