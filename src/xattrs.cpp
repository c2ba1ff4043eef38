// xattrs.cpp: an update writes a new file and renames it over the old one,
// so whatever the old file carried beside its bytes goes with it unless it
// is set on the new file first: tags and ratings of a file manager in the
// user namespace, an access list in system.posix_acl_access, a label such as
// security.selinux.  What vouched for the old bytes or granted them a
// privilege stays behind: file capabilities, the hashes and signatures of
// IMA and EVM, and the trusted namespace, which only root sets.  The old
// file is read through /proc, which needs no permission to read its
// content; only where /proc is missing is it opened for reading.

#include "xattrs.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

// Whether `name` holds a POSIX ACL.
static bool is_acl(std::string_view name) {
  return name == "system.posix_acl_access" ||
         name == "system.posix_acl_default";
}

// Whether the attribute `name` belongs to the old bytes or grants them a
// privilege, so that the new bytes never get it: a file capability, an IMA
// hash or signature, an EVM signature, anything of the trusted namespace.
static bool stays_behind(std::string_view name) {
  return name == "security.capability" || name == "security.ima" ||
         name == "security.evm" || name.starts_with("trusted.");
}

// Whether a failure to set the attribute `name` refuses the copy: one the
// user set, or an ACL.  The labels of the security namespace are left to
// the file system where the process may not set them.
static bool must_keep(std::string_view name) {
  return name.starts_with("user.") || is_acl(name);
}

// The replaced file: read through /proc, or where /proc is missing through
// a descriptor opened for reading.
struct OldFile {
  std::string path;
  int fd = -1;
};

// The attribute list of `old`, or the value of its attribute `name` if not
// null, into `data` of `size` bytes; its size with no `data`.
static ssize_t get_attribute(const OldFile& old, const char* name, char* data,
                             size_t size) {
  if (old.fd >= 0) {
    return name == nullptr ? flistxattr(old.fd, data, size)
                           : fgetxattr(old.fd, name, data, size);
  }
  return name == nullptr ? llistxattr(old.path.c_str(), data, size)
                         : lgetxattr(old.path.c_str(), name, data, size);
}

// Reads the attribute list or the value of `name` (if not null) of `old`
// into `data`; false with errno set.
static bool read_attribute(const OldFile& old, const char* name,
                           std::vector<char>& data) {
  while (true) {
    ssize_t size = get_attribute(old, name, nullptr, 0);
    if (size <= 0) return data.clear(), size == 0;
    data.resize(static_cast<size_t>(size));
    ssize_t got = get_attribute(old, name, data.data(), data.size());
    if (got >= 0) return data.resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;  // ERANGE: it grew in between
  }
}

// Finds the file `name` in `dir_fd` as `old` and lists its attributes into
// `names`; false with errno set.
static bool list_attributes(int dir_fd, const std::string& name, OldFile& old,
                            std::vector<char>& names) {
  old.path = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + name;
  if (read_attribute(old, nullptr, names)) return true;
  if (errno != ENOENT || access("/proc/self/fd", F_OK) == 0) return false;
  old.fd = openat(dir_fd, name.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  return old.fd >= 0 && read_attribute(old, nullptr, names);
}

// Sets on `to` the attributes `names` of `old`, as copy_attributes does.
static int copy_listed(const OldFile& old, const std::vector<char>& names,
                       int to, bool& acl) {
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* attribute = names.data() + at;
    std::string_view key(attribute);
    at += key.size() + 1;
    if (stays_behind(key)) continue;
    if (!read_attribute(old, attribute, value)) {
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

int copy_attributes(int dir_fd, const std::string& name, int to, bool& acl) {
  acl = false;
  OldFile old;
  std::vector<char> names;
  int error = 0;
  if (!list_attributes(dir_fd, name, old, names)) {
    error = errno == ENOTSUP || errno == ENOSYS ? 0 : errno;
  } else {
    error = copy_listed(old, names, to, acl);
  }
  if (old.fd >= 0) close(old.fd);
  return error;
}
