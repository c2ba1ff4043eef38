// beneath.cpp: directories below a tree's root, never through a link.
//
// Every path below a root is reached through a handle on the root, opened
// once as the user gave it; below the root no symbolic link is followed.
// A directory is opened with openat2 (RESOLVE_BENEATH, RESOLVE_NO_SYMLINKS),
// or component by component with O_NOFOLLOW where the kernel lacks openat2
// and where missing parents are created with mkdirat.  Opening a root also
// tells, once for the run, the kind of its file system, whether it holds
// modes and whether it lies on a carried drive.

#include "beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "drive.h"
#include "handles.h"
#include "path.h"

Tree open_tree(const std::string& root) {
  Tree tree;
  tree.root = root;
  tree.fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (tree.fd < 0) tree.open_error = errno;
  if (tree.fd < 0) return tree;
  tree.kind = fs_kind_of(tree.fd);
  tree.modeless = holds_no_modes(tree.fd, tree.kind);
  DriveFacts facts = drive_facts_of(tree.fd, tree.kind);
  tree.carried = is_carried_drive(facts);
  tree.network = is_network_fs(tree.fd);
  if (tree.carried) tree.device = facts.device_node;
  return tree;
}

bool is_scanned(const Tree& tree, std::uint64_t inode, const struct stat& st) {
  if (inode == 0 || tree.kind == FsKind::Fat || tree.kind == FsKind::Exfat) {
    return true;
  }
  return st.st_ino == inode;
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

// Opens directory `relative_path` below `dir_fd` one component at a time,
// never following a link; with `create`, missing directories are made.  On
// failure returns -1 with errno set and `reached` holding the components up
// to the one that failed.  A directory made is private until `made`, told
// of it before anything goes into it, gives it its owner and mode.
int open_components(int dir_fd, const std::string& relative_path, bool create,
                    std::string& reached, const MadeDir& made,
                    const FoundDir& found) {
  int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  reached.clear();
  std::size_t start = 0;
  while (fd >= 0 && start < relative_path.size()) {
    std::size_t slash = relative_path.find('/', start);
    if (slash == std::string::npos) slash = relative_path.size();
    std::string name = relative_path.substr(start, slash - start);
    reached = relative_path.substr(0, slash);
    start = slash + 1;
    if (name == "..") {
      close(fd);
      errno = EXDEV;
      return -1;
    }
    int refused = 0;
    if (create && mkdirat(fd, name.c_str(), 0700) == 0) {
      if (made) made(fd, name, reached);
    } else if (create && errno != EEXIST) {
      refused = errno;
    } else if (create && found) {
      refused = found(fd, name, reached);
    }
    if (refused != 0) {
      close(fd);
      errno = refused;
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
    close(fd);
    fd = next;
    errno = error;
  }
  return fd;
}

// Opens directory `relative_path` below the tree's root without following
// any symbolic link; -1 with errno set on failure.
int open_beneath(const Tree& tree, const std::string& relative_path) {
  if (tree.fd < 0) {
    errno = tree.open_error;
    return -1;
  }
  if (relative_path.empty()) return fcntl(tree.fd, F_DUPFD_CLOEXEC, 0);
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd =
      syscall(SYS_openat2, tree.fd, relative_path.c_str(), &how, sizeof how);
  // Without openat2, or deeper than a path may be, one component at a time.
  if (fd >= 0 || (errno != ENOSYS && errno != ENAMETOOLONG)) {
    return static_cast<int>(fd);
  }
  std::string reached;
  return open_components(tree.fd, relative_path, false, reached);
}

// Whether an error means that a path was refused for crossing a link.
bool is_refused_path(int error) { return error == ELOOP || error == EXDEV; }
