// owners.cpp: the owner, group and permission bits a copy takes.
//
// A new file and a new directory take the source's owner and group where
// the process may give files away; an update keeps the target's owner.  A
// set-user-ID or set-group-ID bit is kept only where the copy's owner or
// group is the source's: on anyone else's file it would hand the source
// owner's rights to whoever put the file there.

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
