// beneath.cpp: directories below a tree's root, never through a link.
//
// Every path below a root is reached through a handle on the root, opened
// once as the user gave it; below the root no symbolic link is followed.
// A directory is opened with openat2 (RESOLVE_BENEATH, RESOLVE_NO_SYMLINKS),
// or component by component with O_NOFOLLOW where the kernel lacks openat2
// and where missing parents are created with mkdirat.  Once the tree's
// scan is done, each directory is opened component by component and
// checked to be the one the scan saw at its path, or the one the run made
// there, so that no one who exchanges a directory after the scan gets an
// action into his own.  A directory the run makes is made private, opened
// once and checked to be the run's own and empty before it is used.
// Opening a root also tells, once for the run, the kind of its file
// system, whether it holds modes and whether it lies on a carried drive.

#include "beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "drive.h"
#include "handles.h"
#include "path.h"

Tree open_tree(const std::string& root) {
  Tree tree;
  tree.root = root;
  tree.fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (tree.fd < 0) tree.open_error = errno;
  if (tree.fd < 0) return tree;
  struct stat st;
  if (fstat(tree.fd, &st) == 0) tree.owner = st.st_uid;
  tree.kind = fs_kind_of(tree.fd);
  tree.modeless = holds_no_modes(tree.fd, tree.kind);
  DriveFacts facts = drive_facts_of(tree.fd, tree.kind);
  tree.carried = is_carried_drive(facts);
  tree.network = is_network_fs(tree.fd);
  tree.unknown_drive = tree.kind == FsKind::Other && !tree.modeless &&
                       facts.mount_type.starts_with("fuseblk");
  if (tree.carried) tree.device = facts.device_node;
  return tree;
}

bool is_scanned(const Tree& tree, std::uint64_t inode, const struct stat& st) {
  if (inode == 0 || tree.kind == FsKind::Fat || tree.kind == FsKind::Exfat) {
    return true;
  }
  return st.st_ino == inode;
}

bool checks_dirs(const Tree& tree) {
  return tree.seen != nullptr && tree.kind != FsKind::Fat &&
         tree.kind != FsKind::Exfat;
}

bool is_same_root(const Tree& tree) {
  struct stat held, now;
  if (tree.fd < 0 || fstat(tree.fd, &held) != 0) return false;
  if (stat(tree.root.c_str(), &now) != 0) return false;
  return same_file(held, now);
}

void close_tree(Tree& tree) {
  if (tree.fd >= 0) close(tree.fd);
  tree.fd = -1;
}

// The path below the root of component path `reached` below `base`.
static std::string below_root(const std::string& base,
                              const std::string& reached) {
  return base.empty() ? reached : base + "/" + reached;
}

// Checks directory `fd`, opened at `path` of `tree`, against what the scan
// saw there or the run made there: its status in `st`, whether the scan
// saw it in `seen`, whether either knows it in `known`; 0, or the errno to
// fail with.
static int check_identity(const Tree& tree, const std::string& path, int fd,
                          struct stat& st, bool& seen, bool& known) {
  seen = known = false;
  if (fstat(fd, &st) != 0) return errno;
  if (!checks_dirs(tree)) return 0;
  DirId id;
  bool made = tree.made != nullptr && find_made_dir(*tree.made, path, id);
  seen = !made && find_seen_dir(*tree.seen, path, id);
  known = made || seen;
  if (known && (id.device != st.st_dev || id.inode != st.st_ino)) {
    return kDirReplaced;
  }
  return 0;
}

// Whether a walk told to `each` refuses in `tree` a directory that neither
// its scan saw nor the run made or noted: where the run notes them all.
static bool refuses_unknown(const Tree& tree, const EachDir& each) {
  return each && checks_dirs(tree) && tree.made != nullptr;
}

// Asks `found` of directory `reached` of status `st`, found at `path` of
// `tree`, known to the run or not (`known`); one not known that it accepts
// is noted, and `known` set.  0, or the errno to fail with.
static int ask_found(const Tree& tree, const std::string& path,
                     const std::string& reached, const struct stat& st,
                     bool& known, const FoundDir& found) {
  int error = found(reached, st);
  if (error == 0 && !known && checks_dirs(tree) && tree.made != nullptr) {
    note_made_dir(*tree.made, path, {st.st_dev, st.st_ino});
    known = true;
  }
  return error;
}

// Checks directory `fd`, opened at `path` of `tree` as the `depth`th below
// its root (`reached` below the walk's start), against what the scan saw
// there or the run made there, asks `found` of it, then tells it to
// `each`; 0, or the errno to fail with.
static int check_reached(const Tree& tree, const std::string& path, int fd,
                         std::size_t depth, const EachDir& each,
                         const FoundDir& found, const std::string& reached) {
  if (!checks_dirs(tree) && !each && !found) return 0;
  struct stat st;
  bool seen, known;
  int error = check_identity(tree, path, fd, st, seen, known);
  if (error == 0 && found) {
    error = ask_found(tree, path, reached, st, known, found);
  }
  if (error == 0 && !known && refuses_unknown(tree, each)) {
    error = kDirReplaced;
  }
  if (error != 0) return error;
  return each ? each(depth, st, seen) : 0;
}

// Whether directory `fd` of status `st`, just made by the run in `tree`,
// is still its own: private to the run's user and empty.  A drive without
// modes, or a server that maps users and modes its own way, shows only
// whether it is empty; so does a drive of unknown kind to an ordinary user,
// who gives no directory away (root can tell every drive's kind).
static bool is_own_made_dir(const Tree& tree, int fd, const struct stat& st) {
  bool owners = !tree.modeless && !tree.network &&
                !(tree.unknown_drive && geteuid() != 0);
  // Its parent's set-group-ID bit it takes, as every new directory does.
  if (owners && ((st.st_mode & 05077) != 0 || st.st_uid != geteuid())) {
    return false;
  }
  return is_empty_directory(fd) == 1;
}

// Opens directory `name` of `parent_fd`, which the run has just made at
// `path` below the root of `tree` (`reached` below the walk's start),
// checks it and tells it to `made`, or tells `made` that it was refused;
// -1 with `refused` set on failure.
static int open_made(const Tree& tree, int parent_fd, const std::string& name,
                     const std::string& path, const std::string& reached,
                     const MadeDir& made, int& refused) {
  int fd = openat(parent_fd, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    refused = errno == ENOTDIR || errno == ELOOP ? kDirReplaced : errno;
  } else if (fstat(fd, &st) != 0) {
    refused = errno;
  } else if (!is_own_made_dir(tree, fd, st)) {
    refused = kDirReplaced;
  } else {
    if (tree.made != nullptr) {
      note_made_dir(*tree.made, path, {st.st_dev, st.st_ino});
    }
    forget_checked_dir(tree, path);  // one the run removed there before
    if (made) refused = made(fd, reached);
    if (refused != 0) close(fd);
    return refused != 0 ? -1 : fd;
  }
  // Made all the same: what reads that path may have met it.
  if (made) made(-1, reached);
  if (fd >= 0) close(fd);
  return -1;
}

// Opens directory `name` of `fd` (O_PATH), never through a link; -1 with
// errno set on failure, ELOOP for a link.
static int open_dir_at(int fd, const std::string& name) {
  if (name == "..") {
    errno = EXDEV;
    return -1;
  }
  int next =
      openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int error = errno;
  struct stat st;
  if (next < 0 && error == ENOTDIR &&
      fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    error = ELOOP;  // a link where a directory is needed is never followed
  }
  errno = error;
  return next;
}

// Opens the existing directory `name` of `fd`, reached at `path` below the
// root as the `depth`th (`reached` below the walk's start), never through
// a link, and checks it; -1 with errno set on failure.
static int open_found(const Tree& tree, int fd, const std::string& name,
                      const std::string& path, std::size_t depth,
                      const EachDir& each, const FoundDir& found,
                      const std::string& reached) {
  int next = open_dir_at(fd, name);
  int error = errno;
  if (next >= 0) {
    error = check_reached(tree, path, next, depth, each, found, reached);
  }
  if (next >= 0 && error != 0) {
    close(next);
    next = -1;
  }
  errno = error;
  return next;
}

// Opens directory `relative_path` below `dir_fd`, directory `base` of
// `tree`, one component at a time, never following a link, each checked;
// with `create`, missing directories are made.  On failure returns -1 with
// errno set and `reached` holding the components up to the one that
// failed.  A directory made is private until `made`, told of it before
// anything goes into it, gives it its owner and mode.
int open_components(const Tree& tree, int dir_fd, const std::string& base,
                    const std::string& relative_path, bool create,
                    std::string& reached, const MadeDir& made,
                    const FoundDir& found, const EachDir& each) {
  int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  reached.clear();
  std::size_t depth =
      base.empty() ? 0 : std::count(base.begin(), base.end(), '/') + 1;
  std::size_t start = 0;
  for (; fd >= 0 && start < relative_path.size(); ++depth) {
    std::size_t slash = relative_path.find('/', start);
    if (slash == std::string::npos) slash = relative_path.size();
    std::string name = relative_path.substr(start, slash - start);
    reached = relative_path.substr(0, slash);
    start = slash + 1;
    int refused = name == ".." ? EXDEV : 0;
    int next = -1;
    bool made_now = false;
    if (refused == 0 && create && mkdirat(fd, name.c_str(), 0700) == 0) {
      made_now = true;
      next = open_made(tree, fd, name, below_root(base, reached), reached,
                       made, refused);
    } else if (refused == 0 && create && errno != EEXIST) {
      refused = errno;
    }
    if (refused != 0) {
      close(fd);
      errno = refused;
      return -1;
    }
    if (!made_now) {
      next = open_found(tree, fd, name, below_root(base, reached), depth,
                        each, create ? found : nullptr, reached);
    }
    int error = errno;
    close(fd);
    fd = next;
    errno = error;
  }
  return fd;
}

// The most directories of one tree held open since they were checked.
constexpr std::size_t kCheckedDirs = 64;

// The paths below the root that lead to `relative_path`, itself the last.
static std::vector<std::string> prefixes_of(const std::string& relative_path) {
  std::vector<std::string> prefixes;
  for (std::size_t i = 0; i <= relative_path.size(); ++i) {
    if (i == relative_path.size() || relative_path[i] == '/') {
      prefixes.push_back(relative_path.substr(0, i));
    }
  }
  return prefixes;
}

// Tells `each` of the directories `held`, the first ones of a path; 0, or
// the errno to fail with.
static int tell_held(const std::vector<CheckedDirs::Dir>& held,
                     const EachDir& each) {
  for (std::size_t depth = 0; each && depth < held.size(); ++depth) {
    int error = each(depth, held[depth].st, held[depth].seen);
    if (error != 0) return error;
  }
  return 0;
}

// Keeps the checked directories `fresh` open in the cache of `tree`, as
// far as there is room; those it holds already are closed.
static void hold_checked(const Tree& tree,
                         std::vector<std::pair<std::string, CheckedDirs::Dir>>&
                             fresh) {
  if (fresh.empty()) return;
  CheckedDirs& cache = *tree.checked;
  std::lock_guard<std::shared_mutex> hold(cache.lock);
  // Full, it lets go of its deepest directories: those nearer the root
  // lie on the paths of more actions.
  auto depth = [](const std::string& path) {
    return static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
  };
  while (!cache.dirs.empty() &&
         cache.dirs.size() + fresh.size() > kCheckedDirs) {
    std::size_t deepest = 0;
    for (auto& [path, dir] : cache.dirs) {
      deepest = std::max(deepest, depth(path));
    }
    for (auto dir = cache.dirs.begin(); dir != cache.dirs.end();) {
      if (depth(dir->first) == deepest) {
        close(dir->second.fd);
        dir = cache.dirs.erase(dir);
      } else {
        ++dir;
      }
    }
  }
  for (auto& [path, dir] : fresh) {
    if (cache.dirs.size() >= kCheckedDirs ||
        !cache.dirs.emplace(path, dir).second) {
      close(dir.fd);
    }
  }
}

// Opens directory `relative_path` below the root of `tree` as open_beneath
// does, through the directories that its cache holds, checking the others
// one level at a time and keeping those the scan saw or the run made.
static int open_cached(const Tree& tree, const std::string& relative_path,
                       const EachDir& each) {
  std::vector<std::string> prefixes = prefixes_of(relative_path);
  std::vector<CheckedDirs::Dir> held;
  int fd;
  {
    CheckedDirs& cache = *tree.checked;
    std::shared_lock<std::shared_mutex> hold(cache.lock);
    for (const std::string& prefix : prefixes) {
      auto found = cache.dirs.find(prefix);
      if (found == cache.dirs.end()) break;
      held.push_back(found->second);
    }
    fd = fcntl(held.empty() ? tree.fd : held.back().fd, F_DUPFD_CLOEXEC, 0);
  }
  int error = fd < 0 ? errno : tell_held(held, each);
  std::vector<std::pair<std::string, CheckedDirs::Dir>> fresh;
  for (std::size_t depth = held.size(); error == 0 && depth < prefixes.size();
       ++depth) {
    const std::string& path = prefixes[depth];
    int next = open_dir_at(fd, name_of(path));
    error = next < 0 ? errno : 0;
    CheckedDirs::Dir dir;
    bool known = false;
    if (next >= 0) {
      error = check_identity(tree, path, next, dir.st, dir.seen, known);
    }
    if (error == 0 && !known && refuses_unknown(tree, each)) {
      error = kDirReplaced;
    }
    if (error == 0 && each) error = each(depth, dir.st, dir.seen);
    if (error == 0 && known) dir.fd = fcntl(next, F_DUPFD_CLOEXEC, 0);
    if (dir.fd >= 0) fresh.emplace_back(path, dir);
    close(fd);
    fd = next;
  }
  hold_checked(tree, fresh);
  if (error != 0 && fd >= 0) close(fd);
  errno = error;
  return error != 0 ? -1 : fd;
}

EachDir known_dirs_only(const Tree& tree) {
  if (!checks_dirs(tree) || tree.made == nullptr) return nullptr;
  return [](std::size_t, const struct stat&, bool) { return 0; };
}

void forget_checked_dir(const Tree& tree, const std::string& path) {
  if (tree.checked == nullptr) return;
  CheckedDirs& cache = *tree.checked;
  std::lock_guard<std::shared_mutex> hold(cache.lock);
  std::string below = path + "/";
  for (auto dir = cache.dirs.begin(); dir != cache.dirs.end();) {
    if (dir->first == path || dir->first.compare(0, below.size(), below) == 0) {
      close(dir->second.fd);
      dir = cache.dirs.erase(dir);
    } else {
      ++dir;
    }
  }
}

void close_checked_dirs(const Tree& tree) {
  if (tree.checked == nullptr) return;
  CheckedDirs& cache = *tree.checked;
  std::lock_guard<std::shared_mutex> hold(cache.lock);
  for (auto& [path, dir] : cache.dirs) close(dir.fd);
  cache.dirs.clear();
}

// Opens directory `relative_path` below the tree's root without following
// any symbolic link; -1 with errno set on failure.
int open_beneath(const Tree& tree, const std::string& relative_path,
                 const EachDir& each) {
  if (tree.fd < 0) {
    errno = tree.open_error;
    return -1;
  }
  if (relative_path.empty()) return fcntl(tree.fd, F_DUPFD_CLOEXEC, 0);
  std::string reached;
  if (checks_dirs(tree) && tree.checked != nullptr) {
    return open_cached(tree, relative_path, each);
  }
  if (checks_dirs(tree) || each) {
    return open_components(tree, tree.fd, "", relative_path, false, reached,
                           nullptr, nullptr, each);
  }
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd =
      syscall(SYS_openat2, tree.fd, relative_path.c_str(), &how, sizeof how);
  // Without openat2, or deeper than a path may be, one component at a time.
  if (fd >= 0 || (errno != ENOSYS && errno != ENAMETOOLONG)) {
    return static_cast<int>(fd);
  }
  return open_components(tree, tree.fd, "", relative_path, false, reached);
}

// Whether an error means that a path was refused: for crossing a link, for
// a directory not the one seen, or another user's.
bool is_refused_path(int error) {
  return error == ELOOP || error == EXDEV || error == kDirReplaced ||
         error == kForeignDir;
}
