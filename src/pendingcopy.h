// pendingcopy.h: the record of one copy, from its progress line to its
// rename, and the lines its failed steps leave in it.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "acl.h"
#include "beneath.h"

/// Why a target is not replaced: it is not older than the source, or it is
/// no longer the file compared.
inline constexpr char kNotOlder[] = "Ziel ist nicht älter als die Quelle";

struct DirWork;
struct Move;
/// One copy, from its progress line to its rename.  Its steps record their
/// failures in `errors`, which the planning thread writes out in order.
struct PendingCopy {
  std::string relative_path;   // below both roots
  std::string source;          // the source's full path, for messages
  std::string target;          // the target's full path, for messages
  std::string name;            // the target's name in its directory
  std::string parent;          // the target's directory below its root
  std::string temp;            // the temporary file's name beside it
  std::string created;         // the topmost directory made for it, or ""
  const Tree* from = nullptr;  // the source's tree
  const Tree* to = nullptr;    // the target's tree
  int source_dir = -1;         // the source's directory, until it is written
  int in = -1;                 // the source, kept where the copy is read back
  int dir_fd = -1;             // the target's directory, owned
  int out = -1;                // the temporary file, open until the batch ends
  std::uint64_t source_inode = 0;  // the files as the scan saw them; 0
  std::uint64_t target_inode = 0;  // where it saw none
  dev_t device = 0;            // the target's file system
  struct stat source_st {};    // the source as it was copied
  SourceAcl acl;               // the source's access list, read from it
  struct stat reused_st {};    // a target kept, as it was compared
  std::int64_t slack = 0;      // seconds that times may differ by, yet match
  std::uint64_t reserved = 0;  // bytes of room held for it in its batch
  std::uint64_t changes_seen = 0;  // directory changes before its source's stat
  // The owners of the directories on the source's path below its root,
  // where target_dirs_rule needs them.
  std::vector<uid_t> source_owners;
  bool create = false;         // a one-sided file: it replaces nothing
  bool reuse = true;           // bytes the target tree holds are not written
  bool same = false;           // the target holds the source's bytes: `out`
                               // is the target, only its mode and time change
  Move* move = nullptr;        // a deleted file that may become this copy
  bool moved = false;          // its temporary file is that file, renamed
  bool renamed = false;        // it stands at the target's path
  bool ok = true;              // no step has failed
  bool held = false;           // counted in its batch, with its room
  std::shared_ptr<DirWork> dirs;  // its directories, being made by a worker
  PendingCopy* after = nullptr;   // the copy whose directories it waits for
  bool started = false;        // written, being written, or failed before
  std::string errors;          // its error lines, not yet written
  std::atomic<bool> running{false};  // a worker carries out one of its steps
};

/// Records the error line `line` for `copy`, whose step failed; returns
/// false.
bool record_failure(PendingCopy& copy, const std::string& line);
/// Records a failed copy of `copy` for `reason`; returns false.
bool copy_failed(PendingCopy& copy, const std::string& reason);
/// Records "Fehler beim <action> <path>: ..." for `copy`; returns false.
bool step_failed(PendingCopy& copy, const char* action,
                 const std::string& path, int error);
/// The copy-failure line of `copy`, whose progress line stands, for a run
/// that a signal stopped: "" where it is in place or its failure was
/// written out.
std::string undone_line(const PendingCopy& copy);
/// Where the process may give files away into a tree with owners: notes
/// the owner of each directory on the way to the source of `copy`, for
/// target_dirs_rule; else null.
EachDir note_source_owners(PendingCopy& copy);
/// Where the process may give files away into a tree with owners: refuses
/// each directory on the way to the target of `copy` that the scan saw and
/// that belongs to anyone but the owner of the source directory in its
/// place, root or the owner of the target's root (kForeignDir), and one
/// that the scan did not see nor the run make or note (kDirReplaced); else
/// null.
EachDir target_dirs_rule(const PendingCopy& copy);
/// Closes the files a copy holds.
void close_copy(PendingCopy& copy);
