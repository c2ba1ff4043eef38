// acl.h: the POSIX access lists a copy takes from its source, read and set
// in the form the kernel keeps them in extended attributes, and what the
// owning group of a list may where a file system holds none.
#pragma once
#include <sys/types.h>

#include <string>

/// A source's lists as the kernel keeps them; "" where it has none.
struct SourceAcl {
  std::string access;  // system.posix_acl_access
  std::string preset;  // system.posix_acl_default, of a directory
};

/// Reads the access list of the open file `fd` (an O_PATH handle too) and,
/// for a directory (`dir`), its default list into `acl`; 0, or the errno of
/// a list that could not be read.  A file system without lists has none.
int read_acl(int fd, bool dir, SourceAcl& acl);
/// `access` with the entries of the owner, the mask (or the owning group,
/// where it has no mask) and others set to the bits of `mode`, as chmod
/// sets them; `access` itself where it is no list of this form.
std::string with_mode(const std::string& access, mode_t mode);
/// The permission bits `mode` with no group bit beyond what the access list
/// `access` grants its owning group (its entry, as far as its mask lets);
/// `mode` where `access` is no list.
mode_t owning_group_mode(const std::string& access, mode_t mode);
/// Sets the lists of `acl` on the open file `fd`, the access list's owner,
/// mask and others entries with the bits of `base`; where the access list
/// is not set, `mode` gets the group bits of owning_group_mode.  0, or the
/// errno of a list the file system could hold but did not take.
int give_acl(int fd, const SourceAcl& acl, mode_t base, mode_t& mode);
