// leftovers.cpp: what a killed run left behind.
//
// A copy writes a temporary file beside its target, and files kept for a
// later copy wait in a private directory at the tree's root; a run killed
// before its end leaves them, under names that every scan passes over.
// While a run holds a tree's lock no other synchronisation of that tree
// runs, so every such name found by the scan may be left over, and goes
// before this run changes anything.  Only what a run can have left goes: a
// regular file with one link, or at the root a directory of the run's user
// with mode 0700 that holds only such files under temporary names.
// Anything else under such a name (another user's directory moved there, a
// link, a pipe) stays where it is and is reported.  Each is checked through
// the handle of its directory, never through a link, and removed through
// the handle it was checked by.

#include "leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "handles.h"
#include "output.h"
#include "path.h"

namespace {

const char kNoLeftover[] = "kein Überbleibsel eines Abgleichs";

}  // namespace

// Whether a file of status `st` under a temporary name is one a run may
// have left: a regular file with one link.
static bool is_left_file(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// Whether the directory of status `st` may be a run's holding directory in
// `tree`: the run's user's, with mode 0700, where the file system holds
// owners and modes.
static bool is_own_private(const Tree& tree, const struct stat& st) {
  return tree.modeless ||
         (st.st_uid == geteuid() && (st.st_mode & 07777) == 0700);
}

// Reads the names in the open directory `fd` into `names` where each is a
// file a run may have left under a temporary name: "" then, else the
// reason it is no leftover.
static std::string left_files(int fd, std::vector<std::string>& names) {
  int listed = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
  if (dir == nullptr) {
    int error = errno;
    if (listed >= 0) close(listed);
    return reason_of(error);
  }
  std::string reason;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (is_dot_or_dot_dot(name)) continue;
    struct stat st;
    if (!is_temp_file_name(name) ||
        fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !is_left_file(st)) {
      reason = kNoLeftover;
      break;
    }
    names.emplace_back(name);
  }
  closedir(dir);
  return reason;
}

// Removes the holding directory `name` of the root `parent`, of status
// `st`, with the files in it, where it is still that directory and holds
// only files a run may have left; "" or the reason it stays.
static std::string remove_hold(const Tree& tree, int parent,
                               const std::string& name, const struct stat& st) {
  int fd = openat(parent, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? "" : reason_of(errno);
  struct stat opened;
  std::vector<std::string> names;
  std::string reason;
  if (fstat(fd, &opened) != 0) {
    reason = reason_of(errno);
  } else if (!same_file(opened, st) || !is_own_private(tree, opened)) {
    reason = kNoLeftover;
  } else {
    reason = left_files(fd, names);
  }
  // No one else may change a directory of the run's user with mode 0700.
  for (std::size_t i = 0; reason.empty() && i < names.size(); ++i) {
    if (unlinkat(fd, names[i].c_str(), 0) != 0 && errno != ENOENT) {
      reason = reason_of(errno);
    }
  }
  close(fd);
  if (reason.empty() && unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 &&
      errno != ENOENT) {
    reason = reason_of(errno);
  }
  return reason;
}

// Removes the left-over `path` (below the tree's root) of its directory
// `parent`; "" or the reason it stays.
static std::string remove_one(const Tree& tree, int parent,
                              const std::string& path) {
  std::string name = name_of(path);
  struct stat st;
  if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? "" : reason_of(errno);
  }
  if (is_left_file(st)) {
    bool gone = unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
    return gone ? "" : reason_of(errno);
  }
  bool at_root = path.find('/') == std::string::npos;
  if (!S_ISDIR(st.st_mode) || !at_root || !is_own_private(tree, st)) {
    return kNoLeftover;
  }
  return remove_hold(tree, parent, name, st);
}

bool remove_leftovers(const Tree& tree, const std::vector<std::string>& paths) {
  bool ok = true;
  for (const std::string& path : paths) {
    int parent = open_beneath(tree, parent_of(path));
    std::string reason =
        parent < 0 ? (errno == ENOENT ? "" : reason_of(errno))
                   : remove_one(tree, parent, path);
    if (parent >= 0) close(parent);
    if (!reason.empty()) {
      report(failure_line("Löschen von", full_path(tree.root, path), reason));
      ok = false;
    }
  }
  return ok;
}
