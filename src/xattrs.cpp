// xattrs.cpp: an update writes a new file and renames it over the old one,
// so whatever the old file carried beside its bytes goes with it unless it
// is set on the new file first: tags and ratings of a file manager in the
// user namespace, an access list in system.posix_acl_access, a label such as
// security.selinux.  What vouched for the old bytes or granted them a
// privilege stays behind: file capabilities, the hashes and signatures of
// IMA and EVM, and the trusted namespace, which only root sets.  The old
// file is read through a handle of the very file that was checked, never by
// its name again: an O_PATH handle, read through /proc, which needs no
// permission to read its content; only where /proc is missing is it opened
// for reading.

#include "xattrs.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "handles.h"

// Whether `name` holds a POSIX ACL.
static bool is_acl(std::string_view name) {
  return name == "system.posix_acl_access" ||
         name == "system.posix_acl_default";
}

bool stays_behind(std::string_view name) {
  return name == "security.capability" || name == "security.ima" ||
         name == "security.evm" || name.starts_with("trusted.");
}

// Whether a failure to set the attribute `name` refuses the copy: one the
// user set, or an ACL.  The labels of the security namespace are left to
// the file system where the process may not set them.
static bool must_keep(std::string_view name) {
  return name.starts_with("user.") || is_acl(name);
}

// Whether the replacement keeps the attribute `name` as `keep` tells.
static bool is_kept(std::string_view name, KeptAttributes keep) {
  if (stays_behind(name)) return false;
  if (!keep.owners && must_keep(name)) return false;
  return keep.access || name != "system.posix_acl_access";
}

// The attribute list of `fd`, or the value of its attribute `name` if not
// null, into `data` of `size` bytes; its size with no `data`.  An O_PATH
// handle is read through /proc.
static ssize_t get_attribute(int fd, const char* name, char* data,
                             size_t size) {
  ssize_t got = name == nullptr ? flistxattr(fd, data, size)
                                : fgetxattr(fd, name, data, size);
  if (got >= 0 || errno != EBADF) return got;
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  return name == nullptr ? listxattr(path.c_str(), data, size)
                         : getxattr(path.c_str(), name, data, size);
}

// Reads the attribute list or the value of `name` (if not null) of `fd`
// into `data`; false with errno set.
static bool read_attribute(int fd, const char* name, std::string& data) {
  while (true) {
    ssize_t size = get_attribute(fd, name, nullptr, 0);
    if (size <= 0) return data.clear(), size == 0;
    data.resize(static_cast<size_t>(size));
    ssize_t got = get_attribute(fd, name, data.data(), data.size());
    if (got >= 0) return data.resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;  // ERANGE: it grew in between
  }
}

bool read_fd_attribute(int fd, const char* name, std::string& value) {
  return read_attribute(fd, name, value);
}

// Opens the file `name` in `dir_fd`, only the file of status `checked`: a
// handle, or where /proc is missing a descriptor for reading; -1 with errno
// set (ESTALE: another file stands there).
static int open_checked(int dir_fd, const std::string& name,
                        const struct stat& checked) {
  int flags = access("/proc/self/fd", F_OK) == 0 ? O_PATH : O_RDONLY;
  struct stat st;
  int fd = open_regular(dir_fd, name.c_str(), st, flags);
  if (fd < 0 && (errno == ENOENT || errno == EINVAL)) errno = ESTALE;
  if (fd < 0 || same_file(st, checked)) return fd;
  close(fd);
  errno = ESTALE;
  return -1;
}

// Sets on `to` the attributes `names` of `from`, as copy_attributes does.
static int copy_listed(int from, const std::string& names,
                       KeptAttributes keep, int to, bool& acl) {
  std::string value;
  for (size_t at = 0; at < names.size();) {
    const char* attribute = names.c_str() + at;
    std::string_view key(attribute);
    at += key.size() + 1;
    if (!is_kept(key, keep)) continue;
    if (!read_attribute(from, attribute, value)) {
      if (errno == ENODATA || !must_keep(key)) continue;  // gone meanwhile
      return errno;
    }
    if (fsetxattr(to, attribute, value.data(), value.size(), 0) == 0) {
      acl = acl || is_acl(key);
    } else if (must_keep(key)) {
      return errno;
    }
  }
  return 0;
}

int copy_attributes(int dir_fd, const std::string& name,
                    const struct stat& checked, KeptAttributes keep, int to,
                    bool& acl) {
  acl = false;
  int from = open_checked(dir_fd, name, checked);
  if (from < 0) return errno;
  std::string names;
  int error = 0;
  if (!read_attribute(from, nullptr, names)) {
    error = errno == ENOTSUP || errno == ENOSYS ? 0 : errno;
  } else {
    error = copy_listed(from, names, keep, to, acl);
  }
  close(from);
  return error;
}
