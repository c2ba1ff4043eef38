// madedirs.cpp: the directories that one-sided copies need.
//
// The planning thread decides, in the listing's order, which copy makes
// which directory, so that it never depends on which worker came first;
// the copy's worker makes them, and the planning thread takes what it made
// in the listing's order.  It remembers the directories found or made, so
// that the copies of a directory cost one look at it, not one each, and
// below a directory that it made, none at all.  A directory that the run
// removes again is forgotten.  A directory is made private and given its
// owner before anything goes into it, then the mode of the directory it
// copies; one that its owner may not write into gets its mode only once the
// run's copies into it are done.  Run as root, a copy goes only into
// directories that the scan saw where they belong to its source
// directory's owner, to root or to the owner of the target's root.

#include "madedirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "acl.h"
#include "output.h"
#include "owners.h"
#include "path.h"

// Remembers `path` and its ancestors as existing.
static void remember(KnownDirs& known, std::string path) {
  while (!path.empty() && known.paths.insert(path).second) {
    path = parent_of(path);
  }
}

// The status of directory `path` of the source's tree in `st`, and its
// ACLs in `acl` if not null; false where it cannot be read.  Lists that
// cannot be read leave `st` with no permission bit for group and others.
static bool stat_source_dir(const Tree& from, const std::string& path,
                            struct stat& st, SourceAcl* acl = nullptr) {
  int fd = open_beneath(from, path);
  if (fd < 0) return false;
  bool read = fstat(fd, &st) == 0;
  if (read && acl != nullptr && read_acl(fd, true, *acl) != 0) {
    st.st_mode &= ~mode_t{077};
  }
  close(fd);
  return read;
}

// Gives directory `fd`, made private just now as `path` for `copy` and
// checked to be the run's own, its source's owner and group where the
// process may give files away, its source's ACLs (kept private until it
// gets its mode), then its mode: at once where the owner may still write
// into it and search it, otherwise once the copies are done.  The source
// directory is the one the scan saw, reached through checked handles; 0,
// or the errno to fail with where it is no longer that one.
static int finish_made_dir(std::vector<ClosingDir>& closing,
                           const PendingCopy& copy, int fd,
                           const std::string& path) {
  struct stat made, source;
  if (fstat(fd, &made) != 0) return errno;
  SourceAcl acl;
  bool has_source = stat_source_dir(*copy.from, path, source, &acl);
  if (!has_source && is_refused_path(errno)) return errno;
  if (has_source && give_source_owner(fd, made, source)) {
    made.st_uid = source.st_uid;
    made.st_gid = source.st_gid;
  }
  mode_t mode = made_dir_mode(has_source ? &source : nullptr, made.st_uid,
                              made.st_gid);
  mode |= made.st_mode & S_ISGID;  // taken from its parent, as new files will
  bool later = (mode & S_IWUSR) == 0 || (mode & S_IXUSR) == 0;
  // A list not set leaves the mode narrowed, and the directory as it is.
  give_acl(fd, acl, later ? made.st_mode & 07777 : mode, mode);
  if (later) {
    closing.push_back({path, mode, made.st_dev, made.st_ino});
  } else if ((made.st_mode & 07777) != mode || !acl.access.empty()) {
    fchmod(fd, mode);  // a file system without modes keeps its own
  }
  return 0;
}

void add_scanned_dirs(std::unordered_set<std::string>& dirs,
                      std::string_view path) {
  for (std::size_t slash = path.rfind('/'); slash != std::string_view::npos;
       slash = path.rfind('/', slash - 1)) {
    if (!dirs.emplace(path.substr(0, slash)).second || slash == 0) return;
  }
}

// Whether the directory of status `st`, found at `path` where `copy` needs
// one that the scan did not see, lets in no one that a directory made for
// it would not: it belongs to the process's user or to the owner of the
// source directory, and no one else may write it beyond what the source
// directory lets, or only as a sticky directory lets others write, where
// no one may move or remove another's file.  A file system that holds no
// owners and modes gives every directory those of its mount.
static bool may_use_found(const PendingCopy& copy, const std::string& path,
                          const struct stat& st) {
  if (copy.to->modeless) return true;
  struct stat source;
  bool has_source = stat_source_dir(*copy.from, path, source);
  if (!has_source) source = {};
  bool owner = st.st_uid == geteuid() ||
               (has_source && st.st_uid == source.st_uid);
  bool sticky = (st.st_mode & S_ISVTX) != 0;
  mode_t extra = st.st_mode & 0022 & ~source.st_mode;
  bool group = (st.st_mode & 0020) == 0 || st.st_gid == source.st_gid;
  return owner && (sticky || (extra == 0 && group));
}

// The errno that refuses the directory of status `st`, found at `path`
// where `copy` needs one, or 0 where it may be used or the scan saw it.
static int refuse_found(const PendingCopy& copy, const DirWork& work,
                        const std::string& path, const struct stat& st) {
  if (work.scanned == nullptr || work.scanned->count(path) != 0) return 0;
  return may_use_found(copy, path, st) ? 0 : EEXIST;
}

// Checks the directories of `copy` that stand already, from its own up to
// `work.base`, each through a handle opened on it; false after a recorded
// failure.
static bool check_found_dirs(PendingCopy& copy, const DirWork& work) {
  for (std::string dir = copy.parent; dir.size() > work.base.size();
       dir = parent_of(dir)) {
    if (work.scanned == nullptr || work.scanned->count(dir) != 0) continue;
    int fd = open_beneath(*copy.to, dir);
    struct stat st;
    int error = fd < 0 || fstat(fd, &st) != 0 ? errno
                                               : refuse_found(copy, work, dir,
                                                              st);
    if (fd >= 0) close(fd);
    if (is_refused_path(error)) return copy_failed(copy, reason_of(error));
    if (error != 0) {
      return record_failure(copy, failure_line("Erstellen von",
                                               full_path(copy.to->root, dir),
                                               error));
    }
  }
  return true;
}

std::string known_ancestor(const KnownDirs& known, std::string path) {
  do {
    path = parent_of(path);
  } while (!path.empty() && known.paths.count(path) == 0);
  return path;
}

bool needs_dirs(const KnownDirs& known, const PendingCopy& copy) {
  return !copy.parent.empty() && known.paths.count(copy.parent) == 0;
}

DirWork plan_dirs(const KnownDirs& known, const PendingCopy& copy) {
  DirWork work;
  work.base = known_ancestor(known, copy.parent);
  work.below_made = known.made.count(work.base) != 0;
  return work;
}

// Opens the directory of `copy`, making it and its missing ancestors below
// `work.base`, which exists; `reached` gets the components reached below
// the root.  -1 with errno set on failure.
static int make_below(PendingCopy& copy, DirWork& work, std::string& reached) {
  const Tree& to = *copy.to;
  EachDir rule = target_dirs_rule(copy);
  int base_fd = open_beneath(to, work.base, rule);
  std::string prefix = work.base.empty() ? "" : work.base + "/";
  if (base_fd < 0) prefix.clear();  // gone since: from the root
  MadeDir made = [&](int fd, const std::string& path) {
    if (work.changed.empty()) work.changed = prefix + path;
    if (fd < 0) return 0;  // refused: it stays, not the run's to remove
    if (copy.created.empty()) copy.created = prefix + path;
    work.made.push_back(prefix + path);
    return finish_made_dir(work.closing, copy, fd, prefix + path);
  };
  FoundDir found = [&](const std::string& path, const struct stat& st) {
    return refuse_found(copy, work, prefix + path, st);
  };
  int fd = open_components(to, base_fd < 0 ? to.fd : base_fd,
                           base_fd < 0 ? "" : work.base,
                           copy.parent.substr(prefix.size()), true, reached,
                           made, found, rule);
  int error = errno;
  reached = prefix + reached;
  if (base_fd >= 0) close(base_fd);
  errno = error;
  return fd;
}

bool make_planned_dirs(PendingCopy& copy, DirWork& work) {
  const Tree& to = *copy.to;
  copy.created.clear();
  // Below a directory this run made, only what it makes stands.  One that
  // neither the scan saw nor the run made or noted is found as it is made:
  // checked through the handle the walk goes on from, and noted.
  EachDir rule = target_dirs_rule(copy);
  if (!rule) rule = known_dirs_only(to);
  int fd = work.below_made ? -1 : open_beneath(to, copy.parent, rule);
  int error = work.below_made ? ENOENT : errno;
  bool walked = fd < 0 && (!is_refused_path(error) || error == kDirReplaced) &&
                to.fd >= 0;
  if (walked) {
    std::string reached;
    fd = make_below(copy, work, reached);
    error = errno;
    if (fd < 0) {
      remove_made_dirs(to, reached, copy.created);
      copy.created.clear();
      work.made.clear();
      work.closing.clear();
      if (!is_refused_path(error)) {
        return record_failure(copy, failure_line("Erstellen von",
                                                 full_path(to.root, reached),
                                                 error));
      }
    }
  }
  if (fd < 0) {
    return record_failure(copy, copy_failure_line(copy.source, copy.target,
                                                  reason_of(error)));
  }
  close(fd);
  // Directories that stood already and that the scan saw without a file
  // in them; the walk that makes them asked of each it found.
  return walked || check_found_dirs(copy, work);
}

void take_made_dirs(KnownDirs& known, const PendingCopy& copy, DirWork& work) {
  for (std::string& path : work.made) known.made.insert(std::move(path));
  for (ClosingDir& dir : work.closing) known.closing.push_back(std::move(dir));
  if (copy.ok) remember(known, copy.parent);
}

// Whether what stands at `path` in `parent_fd` is the directory the run
// made there, as far as it noted it; true where it is gone.
static bool is_made_dir(const Tree& tree, int parent_fd,
                        const std::string& path) {
  DirId id;
  struct stat st;
  std::string name = name_of(path);
  if (tree.made == nullptr || !find_made_dir(*tree.made, path, id) ||
      fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;
  }
  return st.st_dev == id.device && st.st_ino == id.inode;
}

std::string remove_made_dirs(const Tree& tree, std::string deepest,
                             const std::string& first) {
  std::string top;
  while (!first.empty() && deepest.size() >= first.size()) {
    int parent_fd = open_beneath(tree, parent_of(deepest));
    if (parent_fd < 0 && errno != ENOENT) break;  // gone with its parent
    if (parent_fd >= 0 && !is_made_dir(tree, parent_fd, deepest)) {
      close(parent_fd);
      break;  // another's put in its place stays
    }
    if (parent_fd >= 0) {
      int removed =
          unlinkat(parent_fd, name_of(deepest).c_str(), AT_REMOVEDIR);
      int error = errno;
      close(parent_fd);
      if (removed == 0) forget_checked_dir(tree, deepest);
      if (removed != 0 && error != ENOENT && error != ENOTDIR) break;
    }
    top = deepest;
    if (deepest == first) break;
    deepest = parent_of(deepest);
  }
  return top;
}

void close_made_dirs(const Tree& tree, KnownDirs& known) {
  for (auto dir = known.closing.rbegin(); dir != known.closing.rend(); ++dir) {
    int parent_fd = open_beneath(tree, parent_of(dir->path));
    if (parent_fd < 0) continue;
    int fd = openat(parent_fd, name_of(dir->path).c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(parent_fd);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == dir->device &&
        st.st_ino == dir->inode) {
      fchmod(fd, dir->mode);
    }
    if (fd >= 0) close(fd);
  }
  known.closing.clear();
}

void forget_dir(KnownDirs& known, const std::string& path) {
  known.paths.erase(path);
  known.made.erase(path);
}
