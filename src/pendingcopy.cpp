// pendingcopy.cpp: the record of one copy.  No step of a copy writes to
// standard output or standard error: each records its failure in the copy,
// for the planning thread to write out in the listing's order.

#include "pendingcopy.h"

#include <unistd.h>

#include "output.h"

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

void close_copy(PendingCopy& copy) {
  for (int* fd : {&copy.source_dir, &copy.in, &copy.dir_fd, &copy.out}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
