// prune.h: the directories that deletions leave empty, removed upwards and
// never the tree's root.
#pragma once
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "beneath.h"
#include "workers.h"

/// A line of the synchronisation, for standard error where `error`.
struct Line {
  bool error = false;
  std::string text;
};

/// The walk after one deletion: from the deleted file's directory upwards,
/// each directory removed while it is empty.
struct PruneWalk {
  const Tree* tree = nullptr;
  std::string dir;          // the directory to test next; "" once ended
  std::vector<Line> lines;  // what it has done, in order
  bool ok = true;           // no step failed
  int outcome = 0;          // of its last step: 1 removed, 0 left, -1 failed
  std::string failure;      // the line of a failed step
  std::atomic<bool> running{false};
};

/// Where a walk stops short of removing a directory: not at all; at once,
/// as the directory holds something the walk cannot see; or once it has
/// tested the directory, which holds a later file of the walk's group that
/// one after the other would still find there (a failed test is reported).
enum class Block { Free, Held, Later };
/// Where walk `i` stops at directory `dir`.
using WalkBlocked = std::function<Block(std::size_t i, const std::string& dir)>;
/// Told of each directory of `tree` that a walk removed.
using DirRemoved = std::function<void(const Tree& tree, const std::string& dir)>;

/// Carries out walks `begin` to `end` of `walks` with the lines and
/// outcome of walking them one after the other in their order, the tests
/// and removals of different directories many at once on `workers`,
/// deepest first; false if a step failed.  A later walk that reaches a
/// directory must find it blocked, or it must hold the later walk's file
/// still.  The walks end also where a signal asks the run to stop, as a
/// deletion's walk does one after the other.
bool run_walks(std::deque<PruneWalk>& walks, std::size_t begin,
               std::size_t end, Workers& workers, const WalkBlocked& blocked,
               const DirRemoved& removed);
/// Writes the lines of `walk` that are not yet written.
void write_lines(std::vector<Line>& lines);
