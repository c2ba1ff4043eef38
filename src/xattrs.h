// xattrs.h: the extended attributes of a replaced file, POSIX ACLs
// included, carried over to the file that replaces it; those bound to the
// old bytes or granting a privilege stay behind.
#pragma once
#include <sys/stat.h>

#include <string>
#include <string_view>

/// Which of the replaced file's attributes its replacement keeps besides
/// its security label.
struct KeptAttributes {
  bool owners = true;  // the user namespace and the ACLs: its owner's own
  bool access = true;  // its access list, which the source's may take over
};

/// Whether the attribute `name` belongs to the old bytes or grants them a
/// privilege, so that new bytes never get it: a file capability, an IMA
/// hash or signature, an EVM signature, anything of the trusted namespace.
bool stays_behind(std::string_view name);
/// Reads the attribute `name` of the open file `fd`, an O_PATH handle too
/// (through /proc), into `value`; false with errno set (ENODATA: none).
bool read_fd_attribute(int fd, const char* name, std::string& value);
/// Sets on the open file `to` the extended attributes of the file `name` in
/// the directory `dir_fd`, which must still be the file of status `checked`
/// and is read through a handle of it; never security.capability,
/// security.ima, security.evm or the trusted namespace, and of the rest
/// only those `keep` names.  `acl` tells whether it got an ACL.  0; ESTALE
/// where another file stands at `name`; or the errno of an attribute of
/// the user namespace or an ACL that could not be read or set; others the
/// process may not set are passed over.
int copy_attributes(int dir_fd, const std::string& name,
                    const struct stat& checked, KeptAttributes keep, int to,
                    bool& acl);
