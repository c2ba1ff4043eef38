// acl.cpp: POSIX access lists, parsed and set as the kernel keeps them.
//
// An access list is a header (version 2, little-endian) and entries of a
// tag, its permission bits and an id.  A file's mode shows the list's mask
// in its group bits, not what the owning group may: a copy that carried the
// mode alone would let the whole group in where the list keeps it out.  So
// a copy takes the list; where its file system holds none, its group bits
// are what the owning group's entry grants, never the mask.

#include "acl.h"

#include <endian.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "xattrs.h"

namespace {

constexpr char kAccess[] = "system.posix_acl_access";
constexpr char kDefault[] = "system.posix_acl_default";
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kHeader = 4;
constexpr std::size_t kEntry = 8;  // u16 tag, u16 permission bits, u32 id
constexpr std::uint16_t kUserObj = 0x01;
constexpr std::uint16_t kGroupObj = 0x04;
constexpr std::uint16_t kMask = 0x10;
constexpr std::uint16_t kOther = 0x20;

// Whether `list` has the form of an access list.
bool is_list(const std::string& list) {
  if (list.size() < kHeader || (list.size() - kHeader) % kEntry != 0) {
    return false;
  }
  std::uint32_t version;
  std::memcpy(&version, list.data(), sizeof version);
  return le32toh(version) == kVersion;
}

// The 16-bit field at byte `at` of `list`.
std::uint16_t field_at(const std::string& list, std::size_t at) {
  std::uint16_t value;
  std::memcpy(&value, list.data() + at, sizeof value);
  return le16toh(value);
}

// Sets the permission bits of the entry at byte `at` of `list` to `perm`.
void set_perm(std::string& list, std::size_t at, mode_t perm) {
  std::uint16_t value = htole16(static_cast<std::uint16_t>(perm & 7));
  std::memcpy(list.data() + at + 2, &value, sizeof value);
}

// Whether `list` holds an entry of tag `tag`.
bool has_tag(const std::string& list, std::uint16_t tag) {
  for (std::size_t at = kHeader; at < list.size(); at += kEntry) {
    if (field_at(list, at) == tag) return true;
  }
  return false;
}

// Whether `error` tells that a file system holds no such list.
bool holds_none(int error) { return error == EOPNOTSUPP || error == ENOSYS; }

// Reads the list `name` of `fd` into `list`; 0 or errno.
int read_list(int fd, const char* name, std::string& list) {
  if (read_fd_attribute(fd, name, list)) return 0;
  list.clear();
  return errno == ENODATA || holds_none(errno) ? 0 : errno;
}

}  // namespace

int read_acl(int fd, bool dir, SourceAcl& acl) {
  acl = {};
  int error = read_list(fd, kAccess, acl.access);
  if (error == 0 && dir) error = read_list(fd, kDefault, acl.preset);
  return error;
}

std::string with_mode(const std::string& access, mode_t mode) {
  if (!is_list(access)) return access;
  std::string list = access;
  bool mask = has_tag(list, kMask);
  for (std::size_t at = kHeader; at < list.size(); at += kEntry) {
    std::uint16_t tag = field_at(list, at);
    if (tag == kUserObj) set_perm(list, at, mode >> 6);
    if (tag == kMask || (tag == kGroupObj && !mask)) {
      set_perm(list, at, mode >> 3);
    }
    if (tag == kOther) set_perm(list, at, mode);
  }
  return list;
}

mode_t owning_group_mode(const std::string& access, mode_t mode) {
  if (!is_list(access)) return mode;
  mode_t group = 7, mask = 7;
  for (std::size_t at = kHeader; at < access.size(); at += kEntry) {
    std::uint16_t tag = field_at(access, at);
    if (tag == kGroupObj) group = field_at(access, at + 2) & 7;
    if (tag == kMask) mask = field_at(access, at + 2) & 7;
  }
  return (mode & ~mode_t{070}) | (mode & ((group & mask) << 3));
}

int give_acl(int fd, const SourceAcl& acl, mode_t base, mode_t& mode) {
  int error = 0;
  if (!acl.access.empty()) {
    std::string list = with_mode(acl.access, base);
    if (fsetxattr(fd, kAccess, list.data(), list.size(), 0) != 0) {
      error = holds_none(errno) ? 0 : errno;
      mode = owning_group_mode(acl.access, mode);
    }
  }
  if (error == 0 && !acl.preset.empty() &&
      fsetxattr(fd, kDefault, acl.preset.data(), acl.preset.size(), 0) != 0 &&
      !holds_none(errno)) {
    error = errno;
  }
  return error;
}
