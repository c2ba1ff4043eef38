// xattrs.cpp: an update writes a new file and renames it over the old one,
// so whatever the old file carried beside its bytes goes with it unless it
// is set on the new file first: tags and ratings of a file manager in the
// user namespace, an access list in system.posix_acl_access.  The old file
// is read through /proc, which needs no permission to read its content.

#include "xattrs.h"

#include <sys/xattr.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

// Whether `name` holds a POSIX ACL.
static bool is_acl(std::string_view name) {
  return name == "system.posix_acl_access" ||
         name == "system.posix_acl_default";
}

// Whether a failure to set the attribute `name` refuses the copy: one the
// user set, or an ACL.  Attributes of the security and trusted namespaces
// are left to the file system where the process may not set them.
static bool must_keep(std::string_view name) {
  return name.starts_with("user.") || is_acl(name);
}

// The attribute list of `path`, or the value of its attribute `name` if
// not null, into `data` of `size` bytes; its size with no `data`.
static ssize_t get_attribute(const std::string& path, const char* name,
                             char* data, size_t size) {
  return name == nullptr ? llistxattr(path.c_str(), data, size)
                         : lgetxattr(path.c_str(), name, data, size);
}

// Reads the attribute list or the value of `name` (if not null) of `path`
// into `data`; false with errno set.
static bool read_attribute(const std::string& path, const char* name,
                           std::vector<char>& data) {
  while (true) {
    ssize_t size = get_attribute(path, name, nullptr, 0);
    if (size <= 0) return data.clear(), size == 0;
    data.resize(static_cast<size_t>(size));
    ssize_t got = get_attribute(path, name, data.data(), data.size());
    if (got >= 0) return data.resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;  // ERANGE: it grew in between
  }
}

int copy_attributes(int dir_fd, const std::string& name, int to, bool& acl) {
  acl = false;
  std::string path = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + name;
  std::vector<char> names;
  if (!read_attribute(path, nullptr, names)) {
    return errno == ENOTSUP || errno == ENOSYS ? 0 : errno;
  }
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* attribute = names.data() + at;
    std::string_view key(attribute);
    at += key.size() + 1;
    if (!read_attribute(path, attribute, value)) {
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
