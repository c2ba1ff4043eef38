// owners.cpp: the owner, group and permission bits a copy takes.
//
// A copy, new file or update, and a new directory take the source's owner
// and group where the process may give files away, as cp -a does: an
// update that kept the target's owner would hand the source's bytes to
// whoever put a file at its path.  Without that right an update keeps the
// target's owner where the process may.  A set-user-ID or set-group-ID bit
// is kept only where the copy's owner or group is the source's: on anyone
// else's file it would hand the source owner's rights to whoever put the
// file there.  A file system that holds no modes reports one for every
// file, which no one chose: a new file takes it less the umask, an update
// keeps the target's.

#include "owners.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

// Whether the process holds CAP_CHOWN in its effective set.
static bool holds_chown_capability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
  return (data[0].effective & (1u << CAP_CHOWN)) != 0;
}

bool may_give_away() {
  static const bool may = holds_chown_capability();
  return may;
}

// The process's umask, read from its status where the kernel tells it, so
// that no other thread creates a file while it is changed to be read.
static mode_t process_umask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0) {
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
  }
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}

mode_t kept_mode(const struct stat& source, uid_t uid, gid_t gid) {
  mode_t mode = source.st_mode & 07777;
  if (uid != source.st_uid) mode &= ~mode_t{S_ISUID};
  if (gid != source.st_gid) mode &= ~mode_t{S_ISGID};
  return mode;
}

mode_t copy_mode(const struct stat& source, bool modeless,
                 const struct stat* replaced, uid_t uid, gid_t gid) {
  static const mode_t mask = process_umask() & 0777;
  if (!modeless) return kept_mode(source, uid, gid);
  if (replaced != nullptr) return replaced->st_mode & 0777;
  return source.st_mode & 0777 & ~mask;
}

mode_t made_dir_mode(const struct stat* source, uid_t uid, gid_t gid) {
  static const mode_t mask = process_umask() & 0777;
  if (source == nullptr) return 0777 & ~mask;
  return kept_mode(*source, uid, gid) & ~mask;
}

bool give_source_owner(int fd, const struct stat& now,
                       const struct stat& source) {
  if (!may_give_away()) return false;
  if (now.st_uid == source.st_uid && now.st_gid == source.st_gid) return false;
  return fchown(fd, source.st_uid, source.st_gid) == 0;
}

bool give_copy_owner(int fd, const struct stat& created,
                     const struct stat& source, const struct stat* replaced,
                     uid_t& uid, gid_t& gid) {
  const struct stat* wanted = &created;
  if (may_give_away()) {
    wanted = &source;
  } else if (replaced != nullptr) {
    wanted = replaced;
  }
  uid = created.st_uid;
  gid = created.st_gid;
  // An owner the file has already costs no call.
  if (wanted->st_uid == uid && wanted->st_gid == gid) return false;
  if (fchown(fd, wanted->st_uid, wanted->st_gid) != 0) return false;
  uid = wanted->st_uid;
  gid = wanted->st_gid;
  return true;
}

bool lends_owners_attributes(const struct stat& replaced,
                             const struct stat& source) {
  return !may_give_away() || replaced.st_uid == source.st_uid;
}
