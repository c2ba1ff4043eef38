// casefold.h: paths that a file system which ignores case cannot tell
// apart, so that a new file never lands on, or in, another's place.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "beneath.h"
#include "compare.h"
#include "fskind.h"

/// How a file system compares names.
enum class CaseRule {
  Exact,    // byte for byte
  Ascii,    // ASCII letters alike in either case (FAT)
  Unicode,  // also the Latin, Greek and Cyrillic letters of fold_case
};

/// The paths of one tree as a file system of its rule sees them.
struct CaseIndex {
  CaseRule rule = CaseRule::Exact;  // Exact: nothing is recorded
  // Folded path of each file and directory -> the path as it stands; the
  // paths point into keys that must outlive the index.
  std::unordered_map<std::string, std::string_view> paths;
};

/// The indexes of the two trees of a run.
struct CaseIndexes {
  CaseIndex left;
  CaseIndex right;
};

/// The rule of the file system of a root of kind `kind`, held by `fd`:
/// Ascii on FAT, Unicode on exFAT and in a directory with the casefold
/// attribute (ext4, f2fs), else Exact.
CaseRule case_rule_of(FsKind kind, int fd);
/// `text` with each upper-case letter of `rule` in lower case; as long as
/// `text`, so that a "/" stays where it was.  Bytes that are not valid
/// UTF-8 stay as they are.
std::string fold_case(std::string_view text, CaseRule rule);
/// An index of rule `rule` of the files `both` (found in both trees) and of
/// those of `entries` of kind `own` (0 for none).
CaseIndex index_tree(CaseRule rule, const FileTimeMap& both,
                     const std::vector<DiffEntry>& entries, std::int32_t own);
/// Records `path` and its directories in `index`.
void add_path(CaseIndex& index, std::string_view path);
/// The recorded path that `path`, or one of its directories, matches only
/// when case is ignored, or "" if none; then `seen` is the length of the
/// longest prefix of `path` recorded as it stands (0 for none).
std::string find_clash(const CaseIndex& index, std::string_view path,
                       std::size_t& seen);
/// The name in directory `dir` of tree `to` that `name` matches when case
/// is ignored by `rule`, read from the directory; "" if there is none.
std::string name_on_disk(const Tree& to, const std::string& dir,
                         const std::string& name, CaseRule rule);
/// The path of `to` that `path` or one of its directories matches only
/// when case is ignored: in the index, or for a directory the index lacks
/// (an empty one, say) on the drive.  "" if none, and then `path` is
/// recorded; it must outlive the index.
std::string claim_path(CaseIndex& index, const Tree& to, std::string_view path);
/// The reason a copy is refused for the entry `existing` (its full path).
std::string case_clash_reason(const std::string& existing);
