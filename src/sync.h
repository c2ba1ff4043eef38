// sync.h: brings two trees into line, never reaching outside them.
#pragma once
#include <string>
#include <vector>

#include "compare.h"

/// One tree of the run: its root as given and a handle opened on it.
struct Tree {
  std::string root;    // the root string, for the paths shown to the user
  int fd = -1;         // the root directory, opened as given; -1 if it failed
  int open_error = 0;  // errno of the failed opening
};

/// Opens the root of a tree once; below it no symbolic link is followed.
Tree open_tree(const std::string& root);
/// Closes the handle of open_tree.
void close_tree(Tree& tree);
/// Copies `relative_path` of `from` over (or, with `create_parents`, as a
/// new file into) `to`, with its time; false if any step failed.
bool copy_with_timestamp(const Tree& from, const Tree& to,
                         const std::string& relative_path, bool create_parents);
/// Copies each newer file of a differing pair over the older one; false if
/// any copy failed.
bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& left_root,
                          const std::string& right_root);
/// Deletes or copies the one-sided files as `missing_action` (l, r, b) says;
/// false if any file operation failed.
bool handle_missing(const std::vector<DiffEntry>& entries,
                    const std::string& left_root, const std::string& right_root,
                    char missing_action);
/// Removes `directory` (below the root of `tree`) and its ancestors while
/// they are empty, never the root itself; false if a step failed.
bool remove_empty_parents(const Tree& tree, std::string directory);
