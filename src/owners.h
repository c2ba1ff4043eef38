// owners.h: the owner, group and permission bits that a copy and a
// directory made for one take from their source.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

/// Whether the process may give files away (root, or the capability to
/// chown); asked once.
bool may_give_away();
/// The source's permission bits, with its set-user-ID and set-group-ID bits
/// kept only where the copy's owner `uid` or group `gid` is the source's.
mode_t kept_mode(const struct stat& source, uid_t uid, gid_t gid);
/// The mode of a directory made for the source directory `source` (null
/// where it cannot be read) with owner `uid` and group `gid`: the source's
/// less the process's umask, or what mkdir gives by default.
mode_t made_dir_mode(const struct stat* source, uid_t uid, gid_t gid);
/// Gives the open file `fd`, whose status is `now`, the owner and group of
/// `source` where the process may give files away; true where it did.  A
/// file system that cannot hold them keeps its own, quietly.
bool give_source_owner(int fd, const struct stat& now,
                       const struct stat& source);
/// Gives the open file `fd`, a copy of `source` created with status
/// `created`, its owner and group: the source's where the process may give
/// files away, else those of the file it replaces (`replaced`, if not null)
/// where the process may; `uid` and `gid` get those it ends with.  True
/// where they changed.
bool give_copy_owner(int fd, const struct stat& created,
                     const struct stat& source, const struct stat* replaced,
                     uid_t& uid, gid_t& gid);
/// Whether the replaced file `replaced` lends its access list and user
/// attributes to a copy of `source`: always where the process cannot give
/// files away, which keeps their owner; else where its owner is the source's.
bool lends_owners_attributes(const struct stat& replaced,
                             const struct stat& source);
/// The permission bits of a copy of `source` whose owner is `uid` and group
/// `gid`, as kept_mode gives them; from a file system that holds no modes
/// (`modeless`), those of the file it replaces (`replaced`, if not null),
/// else the source's less the process's umask, never a set-ID bit.
mode_t copy_mode(const struct stat& source, bool modeless,
                 const struct stat* replaced, uid_t uid, gid_t gid);
