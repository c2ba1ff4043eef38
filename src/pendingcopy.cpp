// pendingcopy.cpp: the record of one copy.  No step of a copy writes to
// standard output or standard error: each records its failure in the copy,
// for the planning thread to write out in the listing's order.

#include "pendingcopy.h"

#include <unistd.h>

#include "output.h"
#include "owners.h"
#include "path.h"

bool record_failure(PendingCopy& copy, const std::string& line) {
  copy.errors += line;
  return copy.ok = false;
}

bool copy_failed(PendingCopy& copy, const std::string& reason) {
  return record_failure(copy,
                        copy_failure_line(copy.source, copy.target, reason));
}

bool step_failed(PendingCopy& copy, const char* action,
                 const std::string& path, int error) {
  return record_failure(copy, failure_line(action, path, error));
}

std::string undone_line(const PendingCopy& copy) {
  if (copy.renamed || (!copy.ok && copy.errors.empty())) return "";
  return copy_failure_line(copy.source, copy.target, "Abgleich abgebrochen");
}

// Whether the directories on the way to the target of `copy` must belong
// to the owners its source directories have: the process may give files
// away, and the target's tree holds owners and is checked.
static bool has_owner_rule(const PendingCopy& copy) {
  return may_give_away() && !copy.to->modeless && checks_dirs(*copy.to);
}

EachDir note_source_owners(PendingCopy& copy) {
  copy.source_owners.clear();
  if (!has_owner_rule(copy)) return nullptr;
  return [&copy](std::size_t depth, const struct stat& st, bool) {
    copy.source_owners.resize(depth + 1);
    copy.source_owners[depth] = st.st_uid;
    return 0;
  };
}

EachDir target_dirs_rule(const PendingCopy& copy) {
  if (!has_owner_rule(copy)) return nullptr;
  // One the scan did not see the run made, or found and checked already.
  return [&copy](std::size_t depth, const struct stat& st, bool seen) {
    if (!seen || st.st_uid == 0 || st.st_uid == copy.to->owner) return 0;
    const std::vector<uid_t>& owners = copy.source_owners;
    return depth < owners.size() && owners[depth] == st.st_uid ? 0
                                                               : kForeignDir;
  };
}

void close_copy(PendingCopy& copy) {
  for (int* fd : {&copy.source_dir, &copy.in, &copy.dir_fd, &copy.out}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
