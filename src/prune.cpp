// prune.cpp: removing the directories that deletions leave empty.
//
// A walk tests its directory and removes it while it holds no entry at
// all, then goes on with the parent, and stops at the root, at a directory
// that is gone or holds something, or at the first failure.  Walks of one
// group of deletions touch the same directory only where one of them finds
// it holding something, so the planning thread runs them side by side: it
// takes the deepest directories of all walks at once, each on a worker,
// and a directory only once every directory below it is done, which is
// the order in which walking them one after the other reaches it.  A walk
// that stops at a directory holding a later file of its group still tests
// it, before the later walk may remove it, so that a test that fails is
// reported for each walk, as one after the other.

#include "prune.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "output.h"
#include "path.h"

// Whether directory `path_fd` holds no entry at all; -1 with errno set if
// it cannot be read.
static int is_empty_dir(int path_fd) {
  int fd = openat(path_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  alignas(dirent64) char buffer[4096];
  long n;
  int empty = 1;
  while (empty == 1 && (n = getdents64(fd, buffer, sizeof buffer)) > 0) {
    for (long pos = 0; pos < n && empty == 1;) {
      auto* entry = reinterpret_cast<const dirent64*>(buffer + pos);
      pos += entry->d_reclen;
      if (!is_dot_or_dot_dot(entry->d_name)) empty = 0;
    }
  }
  if (empty == 1 && n < 0) empty = -1;
  int error = errno;
  close(fd);
  errno = error;
  return empty;
}

// Tests whether `directory` is empty: 1 empty, 0 not there or not empty,
// -1 failed with its line in `failure`.  Writes nothing.
static int test_empty(const Tree& tree, const std::string& directory,
                      std::string& failure) {
  std::string shown = full_path(tree.root, directory);
  int fd = open_beneath(tree, directory);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    failure = failure_line("Prüfen von", shown, errno);
    return -1;
  }
  int empty = is_empty_dir(fd);
  int error = errno;
  close(fd);
  if (empty < 0) failure = failure_line("Prüfen von", shown, error);
  return empty;
}

// Removes `directory` if it is empty: 1 removed, 0 left (not there or not
// empty), -1 failed with its line in `failure`.  Writes nothing.
static int remove_if_empty(const Tree& tree, const std::string& directory,
                           std::string& failure) {
  int empty = test_empty(tree, directory, failure);
  if (empty <= 0) return empty;
  int parent_fd = open_beneath(tree, parent_of(directory));
  int removed = parent_fd < 0 ? -1
                              : unlinkat(parent_fd, name_of(directory).c_str(),
                                         AT_REMOVEDIR);
  int error = errno;
  if (parent_fd >= 0) close(parent_fd);
  if (removed == 0) forget_checked_dir(tree, directory);
  if (removed == 0) return 1;
  failure = failure_line("Löschen von", full_path(tree.root, directory), error);
  return -1;
}

// The test of a directory that walks stop at once it is done.
struct DirTest {
  const Tree* tree = nullptr;
  std::string dir;
  int outcome = 0;  // of test_empty
  std::string failure;
  std::atomic<bool> running{false};
};

// The line of a removed directory.
static std::string removed_line(const Tree& tree, const std::string& dir) {
  return "Ordner " + quoted_path(full_path(tree.root, dir), 1) +
         " wurde entfernt\n";
}

// Ends `walk` at its directory, after a test or removal there of
// `outcome`, with the line `failure` where that failed.
static void end_walk(PruneWalk& walk, int outcome, const std::string& failure) {
  if (outcome < 0) {
    walk.lines.push_back({true, failure});
    walk.ok = false;
  }
  walk.dir.clear();
}

// Takes the outcome of the step that `walk` has just taken.
static void take_step(PruneWalk& walk, const DirRemoved& removed) {
  if (walk.outcome <= 0) return end_walk(walk, walk.outcome, walk.failure);
  walk.lines.push_back({false, removed_line(*walk.tree, walk.dir)});
  removed(*walk.tree, walk.dir);
  walk.dir = parent_of(walk.dir);
}

// The number of components of `dir`.
static std::size_t depth_of(const std::string& dir) {
  return dir.empty() ? 0 : 1 + std::count(dir.begin(), dir.end(), '/');
}

// The tests of one round, by directory.
using DirTests = std::map<std::pair<const Tree*, std::string>, DirTest>;

// The test of the directory of `walk` among `tests`, started on `workers`
// where it is the first.
static DirTest& test_for(DirTests& tests, Workers& workers,
                         const PruneWalk& walk) {
  auto [found, added] = tests.try_emplace({walk.tree, walk.dir});
  DirTest& test = found->second;
  if (!added) return test;
  test.tree = walk.tree;
  test.dir = walk.dir;
  run_job(workers, test.running, [&test] {
    test.outcome = test_empty(*test.tree, test.dir, test.failure);
  });
  return test;
}

// The deepest directory that walks `begin` to `end` have yet to test.
static std::size_t deepest_of(const std::deque<PruneWalk>& walks,
                              std::size_t begin, std::size_t end) {
  std::size_t deepest = 0;
  for (std::size_t i = begin; i < end; ++i) {
    deepest = std::max(deepest, depth_of(walks[i].dir));
  }
  return deepest;
}

bool run_walks(std::deque<PruneWalk>& walks, std::size_t begin,
               std::size_t end, Workers& workers, const WalkBlocked& blocked,
               const DirRemoved& removed) {
  for (std::size_t deepest; (deepest = deepest_of(walks, begin, end)) > 0;) {
    // One step of each walk at that depth, one walk per directory: a later
    // walk at the same directory takes its step after the earlier one's.
    std::set<std::pair<const Tree*, std::string>> busy;
    std::vector<PruneWalk*> stepping;
    DirTests tests;
    std::vector<std::pair<PruneWalk*, DirTest*>> stopping;
    for (std::size_t i = begin; i < end; ++i) {
      PruneWalk& walk = walks[i];
      if (walk.dir.empty() || depth_of(walk.dir) != deepest) continue;
      Block block = blocked(i, walk.dir);
      if (block == Block::Held) {
        walk.dir.clear();
      } else if (block == Block::Later) {
        stopping.emplace_back(&walk, &test_for(tests, workers, walk));
      } else if (busy.emplace(walk.tree, walk.dir).second) {
        stepping.push_back(&walk);
      }
    }
    // Earlier walks test a directory before a later one removes it.
    if (!tests.empty()) wait_idle(workers);
    for (PruneWalk* walk : stepping) {
      run_job(workers, walk->running, [walk] {
        walk->outcome = remove_if_empty(*walk->tree, walk->dir, walk->failure);
      });
    }
    wait_idle(workers);
    for (auto& [walk, test] : stopping) {
      end_walk(*walk, test->outcome, test->failure);
    }
    for (PruneWalk* walk : stepping) take_step(*walk, removed);
  }
  bool ok = true;
  for (std::size_t i = begin; i < end; ++i) ok = walks[i].ok && ok;
  return ok;
}

void write_lines(std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (line.error) report(line.text);
    else say(line.text);
  }
  lines.clear();
}
