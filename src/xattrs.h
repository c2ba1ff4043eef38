// xattrs.h: the extended attributes of a replaced file, POSIX ACLs
// included, carried over to the file that replaces it; those bound to the
// old bytes or granting a privilege stay behind.
#pragma once
#include <string>

/// Sets on the open file `to` the extended attributes of the file `name` in
/// the directory `dir_fd`, except security.capability, security.ima,
/// security.evm and the trusted namespace; `acl` tells whether it got an
/// ACL.  0, or the errno of an attribute of the user namespace or an ACL
/// that could not be read or set; others the process may not set are
/// passed over.
int copy_attributes(int dir_fd, const std::string& name, int to, bool& acl);
