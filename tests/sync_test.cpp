// Synchronisation on real temporary trees: what is printed, and what the
// file system holds afterwards.

#include "scan.h"
#include "sync.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "madedirs.h"
#include "path.h"
#include "prune.h"
#include "putback.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Standard output and standard error of one call, captured.
struct Captured {
  std::string out;
  std::string err;
  bool ok;
};

template <typename Call>
Captured capture(Call call) {
  std::ostringstream out, err;
  std::streambuf* old_out = std::cout.rdbuf(out.rdbuf());
  std::streambuf* old_err = std::cerr.rdbuf(err.rdbuf());
  bool ok = call();
  std::cout.rdbuf(old_out);
  std::cerr.rdbuf(old_err);
  return {out.str(), err.str(), ok};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

timespec mtime_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mtim;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Names below `root`, with "/" after directories, sorted.
std::string list_tree(const std::string& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = entry.path().lexically_relative(root).string();
    if (entry.is_directory() && !entry.is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const auto& name : names) text += name + "\n";
  return text;
}

class SyncTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string left = tmp.path + "/L";
  std::string right = tmp.path + "/R";
  void SetUp() override {
    fs::create_directories(left);
    fs::create_directories(right);
  }
};

TEST_F(SyncTest, UpdateCopiesContentModeAndNanosecondTime) {
  make_file(left + "/a/b.txt", 2000, 123456789, "new content");
  make_file(right + "/a/b.txt", 1000, 0, "old");
  chmod((left + "/a/b.txt").c_str(), 0640);
  auto result = capture([&] {
    return sync_different_files({{"a/b.txt", LeftNewer}}, left, right);
  });
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.out, left + "/a/b.txt -> " + right + "/a/b.txt\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file(right + "/a/b.txt"), "new content");
  EXPECT_EQ(mode_of(right + "/a/b.txt"), 0640u);
  EXPECT_EQ(mtime_of(right + "/a/b.txt").tv_sec, 2000);
  EXPECT_EQ(mtime_of(right + "/a/b.txt").tv_nsec, 123456789);
  EXPECT_EQ(list_tree(right), "a/\na/b.txt\n");
}

// The directories a copy made, a/b/c with a the first, go deepest first
// while they are empty, up to the first that stays; one not there, or
// whose parent is not, counts as gone; one reached through a link stops
// the walk; what the run did not make stays.
TEST_F(SyncTest, MadeDirectoriesGoWhileEmptyAndOnlyThoseMade) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> arrange;  // below the root
    const char* first;
    const char* top;   // the topmost one gone
    const char* tree;  // what stays below the root
  };
  const std::vector<Case> cases = {
      {"all empty", [](const std::string& r) { make_dir(r + "/a/b/c"); }, "a",
       "a", ""},
      {"a file stays",
       [](const std::string& r) {
         make_dir(r + "/a/b/c");
         make_file(r + "/a/b/f", 1);
       },
       "a", "a/b/c", "a/\na/b/\na/b/f\n"},
      {"not made", [](const std::string& r) { make_dir(r + "/a/b/c"); }, "a/b",
       "a/b", "a/\n"},
      {"deepest gone", [](const std::string& r) { make_dir(r + "/a/b"); }, "a",
       "a", ""},
      {"parent gone", [](const std::string& r) { make_dir(r + "/a"); }, "a",
       "a", ""},
      {"through a link",
       [](const std::string& r) {
         make_dir(r + "/out/c");
         make_link("../out", r + "/a/b");
       },
       "a", "", "a/\na/b\nout/\nout/c/\n"},
      {"none made", [](const std::string& r) { make_dir(r + "/a/b/c"); }, "",
       "", "a/\na/b/\na/b/c/\n"},
  };
  for (const Case& c : cases) {
    TempDir root(tmp.path);
    c.arrange(root.path);
    Tree tree = open_tree(root.path);
    EXPECT_EQ(remove_made_dirs(tree, "a/b/c", c.first), c.top) << c.name;
    close_tree(tree);
    EXPECT_EQ(list_tree(root.path), c.tree) << c.name;
  }
}

TEST_F(SyncTest, ReplacementTakesTheOwnerOfItsSource) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give files away";
  make_file(left + "/f", 2000, 0, "new");
  make_file(right + "/f", 1000, 0, "old");
  ASSERT_EQ(chown((left + "/f").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown((right + "/f").c_str(), 4321, 4321), 0);
  auto result = capture([&] {
    return sync_different_files({{"f", LeftNewer}}, left, right);
  });
  struct stat st;
  ASSERT_EQ(stat((right + "/f").c_str(), &st), 0);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(read_file(right + "/f"), "new");
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
}

TEST_F(SyncTest, RightNewerOverwritesTheLeftFile) {
  make_file(left + "/x", -5, 0, "old");
  make_file(right + "/x", 3, 0, "newer");
  auto result = capture([&] {
    return sync_different_files({{"x", RightNewer}}, left, right);
  });
  EXPECT_EQ(result.out, right + "/x -> " + left + "/x\n");
  EXPECT_EQ(read_file(left + "/x"), "newer");
  EXPECT_EQ(mtime_of(left + "/x").tv_sec, 3);
}

TEST_F(SyncTest, OneSidedEntriesAreLeftToTheUpdate) {
  make_file(left + "/only", 5);
  auto result = capture([&] {
    return sync_different_files({{"only", MissingRight}, {"o2", MissingLeft}},
                                left, right);
  });
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_EQ(list_tree(right), "");
}

// A target that is no longer older by whole seconds than the source, because
// it was edited since the scan, is kept: later, or in the source's second.
TEST_F(SyncTest, TargetNoLongerOlderIsKept) {
  struct Row {
    std::int64_t target_seconds;
    long target_nanoseconds;
  };
  for (Row row : {Row{2001, 0}, Row{2000, 100000000}}) {
    make_file(left + "/f", 2000, 900000000, "source");
    make_file(right + "/f", row.target_seconds, row.target_nanoseconds,
              "edited later");
    auto result = capture([&] {
      return sync_different_files({{"f", LeftNewer}}, left, right);
    });
    EXPECT_FALSE(result.ok) << row.target_seconds;
    EXPECT_EQ(result.err, "Fehler beim Kopieren von \"" + left +
                              "/f\" nach \"" + right +
                              "/f\": Ziel ist nicht älter als die Quelle\n");
    EXPECT_EQ(read_file(right + "/f"), "edited later");
  }
}

TEST_F(SyncTest, VanishedSourceIsReportedAndNothingChanges) {
  make_file(right + "/gone", 1, 0, "keep");
  auto result = capture([&] {
    return sync_different_files({{"gone", LeftNewer}}, left, right);
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Fehler beim Lesen des Zeitstempels von \"" + left +
                            "/gone\": No such file or directory\n");
  EXPECT_EQ(read_file(right + "/gone"), "keep");
}

TEST_F(SyncTest, QuotesAndBackslashesAreEscapedInErrorLines) {
  std::string name = "a\"b\\c";
  auto result = capture([&] {
    return sync_different_files({{std::pmr::string(name), LeftNewer}}, left,
                                right);
  });
  EXPECT_EQ(result.out, left + "/" + name + " -> " + right + "/" + name + "\n");
  EXPECT_EQ(result.err, "Fehler beim Lesen des Zeitstempels von \"" + left +
                            "/a\\\"b\\\\c\": No such file or directory\n");
}

TEST_F(SyncTest, RootWithTrailingSlashGivesSingleSlashPaths) {
  make_file(left + "/f", 9, 0, "n");
  make_file(right + "/f", 1, 0, "o");
  auto result = capture([&] {
    return sync_different_files({{"f", LeftNewer}}, left + "/", right + "/");
  });
  EXPECT_EQ(result.out, left + "/f -> " + right + "/f\n");
}

TEST_F(SyncTest, NewFileGetsItsParentsAndTime) {
  make_file(right + "/n/m/y.txt", 777, 5, "y");
  mode_t old_mask = umask(022);
  auto result = capture([&] {
    return handle_missing({{"n/m/y.txt", MissingLeft}}, left, right, 'b');
  });
  umask(old_mask);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.out, right + "/n/m/y.txt -> " + left + "/n/m/y.txt\n");
  EXPECT_EQ(read_file(left + "/n/m/y.txt"), "y");
  EXPECT_EQ(mtime_of(left + "/n/m/y.txt").tv_nsec, 5);
  EXPECT_EQ(mode_of(left + "/n"), 0755u);
  EXPECT_EQ(mode_of(left + "/n/m"), 0755u);
}

TEST_F(SyncTest, NewFileNeverReplacesWhatAppearedAtItsPath) {
  make_file(right + "/f", 10, 0, "from right");
  make_file(left + "/f", 20, 0, "appeared later");
  auto result = capture([&] {
    return handle_missing({{"f", MissingLeft}}, left, right, 'b');
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Fehler beim Kopieren von \"" + right + "/f\" nach \"" +
                            left + "/f\": File exists\n");
  EXPECT_EQ(read_file(left + "/f"), "appeared later");
}

TEST_F(SyncTest, FileInTheWayOfAParentIsReported) {
  make_file(right + "/d/f", 10);
  make_file(left + "/d", 10, 0, "a file");
  auto result = capture([&] {
    return handle_missing({{"d/f", MissingLeft}}, left, right, 'b');
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err,
            "Fehler beim Erstellen von \"" + left + "/d\": Not a directory\n");
  EXPECT_EQ(read_file(left + "/d"), "a file");
}

TEST_F(SyncTest, FailedCopyRemovesOnlyTheParentsItMade) {
  fs::create_directories(right + "/n/m/o");
  fs::create_directories(left + "/n");
  ASSERT_EQ(mkfifo((right + "/n/m/o/pipe").c_str(), 0644), 0);
  auto result = capture([&] {
    return handle_missing({{"n/m/o/pipe", MissingLeft}}, left, right, 'b');
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Fehler beim Kopieren von \"" + right +
                            "/n/m/o/pipe\" nach \"" + left +
                            "/n/m/o/pipe\": Quelle wurde während des "
                            "Kopierens geändert\n");
  EXPECT_EQ(list_tree(left), "n/\n");
}

TEST_F(SyncTest, DeletionBelowAFileIsReported) {
  make_file(left + "/d", 1, 0, "a file now");
  auto result = capture([&] {
    return handle_missing({{"d/x", MissingRight}}, left, right, 'l');
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "Fehler beim Löschen von \"" + left + "/d/x\": Not a directory\n");
  EXPECT_EQ(read_file(left + "/d"), "a file now");
}

TEST_F(SyncTest, LinksBelowARootAreNeverCrossed) {
  std::string outside = tmp.path + "/outside";
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, right + "/a");
  make_file(left + "/a/b.txt", 10);
  for (char action : {'b', 'r'}) {
    auto result = capture([&] {
      return handle_missing({{"a/b.txt", MissingRight}}, left, right, action);
    });
    EXPECT_FALSE(result.ok) << action;
    EXPECT_EQ(result.err, "Fehler beim Kopieren von \"" + left +
                              "/a/b.txt\" nach \"" + right +
                              "/a/b.txt\": Too many levels of symbolic links\n")
        << action;
    EXPECT_EQ(list_tree(outside), "") << action;
  }
}

TEST_F(SyncTest, DeletionThroughALinkIsRefused) {
  std::string outside = tmp.path + "/outside";
  make_file(outside + "/b.txt", 10, 0, "outside");
  fs::create_directory_symlink(outside, left + "/a");
  auto result = capture([&] {
    return handle_missing({{"a/b.txt", MissingRight}}, left, right, 'l');
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Fehler beim Löschen von \"" + left +
                            "/a/b.txt\": Too many levels of symbolic links\n");
  EXPECT_EQ(read_file(outside + "/b.txt"), "outside");
}

TEST_F(SyncTest, DeletionPrunesEmptiedDirectoriesButNotTheRoot) {
  make_file(left + "/d/e/f.txt", 1);
  auto result = capture([&] {
    return handle_missing({{"d/e/f.txt", MissingRight, 1}}, left, right, 'L');
  });
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.out, "'" + left + "/d/e/f.txt' wurde entfernt\n" +
                            "Ordner \"" + left + "/d/e\" wurde entfernt\n" +
                            "Ordner \"" + left + "/d\" wurde entfernt\n");
  EXPECT_TRUE(fs::is_directory(left));
  EXPECT_EQ(list_tree(left), "");
}

TEST_F(SyncTest, PruningStopsAtADirectoryHoldingAnything) {
  make_file(left + "/d/e/f.txt", 1);
  fs::create_directories(left + "/d/empty");
  auto result = capture([&] {
    return handle_missing({{"d/e/f.txt", MissingRight, 1}}, left, right, 'l');
  });
  EXPECT_EQ(result.out, "'" + left + "/d/e/f.txt' wurde entfernt\n" +
                            "Ordner \"" + left + "/d/e\" wurde entfernt\n");
  EXPECT_EQ(list_tree(left), "d/\nd/empty/\n");
}

// A file taken for a copy goes back to its name: one that someone wrote
// behind the time the run gave it is marked changed and shows a time of
// its own; one that only the run changed gets its old status back.
TEST_F(SyncTest, TakenFileWrittenWhileTakenGoesBackChanged) {
  Tree tree = open_tree(right);
  for (bool written : {true, false}) {
    make_file(right + "/new/taken", 1600000000, 0, "bytes");
    Move move;
    move.tree = &tree;
    move.own_path = move.path = "old/x.bin";
    move.at_parent = "new";
    move.at_name = "taken";
    move.taken = true;
    fs::create_directories(right + "/old");
    int fd = open((right + "/new/taken").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &move.taken_st), 0);
    move.device = move.taken_st.st_dev;
    move.inode = move.taken_st.st_ino;
    move.left = {1600000000, 500};  // the source's time, given by the run
    if (written) ASSERT_EQ(pwrite(fd, "+", 1, 5), 1);
    timespec times[2] = {move.left, move.left};
    futimens(fd, times);
    put_back(move, fd);
    close(fd);
    EXPECT_FALSE(move.taken);
    EXPECT_EQ(move.changed, written);
    timespec now = mtime_of(right + "/old/x.bin");
    EXPECT_EQ(now.tv_sec == 1600000000, !written) << now.tv_sec;
    if (!written) EXPECT_EQ(now.tv_nsec, 0);
    fs::remove(right + "/old/x.bin");
  }
  close_tree(tree);
}

TEST_F(SyncTest, VanishedOneSidedFileCountsAsRemoved) {
  fs::create_directories(left + "/d");
  auto result = capture([&] {
    return handle_missing({{"d/x", MissingRight}}, left, right, 'l');
  });
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.out, "'" + left + "/d/x' wurde entfernt\n" + "Ordner \"" +
                            left + "/d\" wurde entfernt\n");
}

// Walks of one group side by side, deepest directories first: each row
// gives the directories and files there, where the walks start, where walk
// i stops, and what each walk writes, as walking them in turn would.
TEST_F(SyncTest, WalksSideBySideWriteWhatOneAfterTheOtherWould) {
  struct Row {
    const char* name;
    std::vector<std::string> dirs, files, starts;
    std::map<std::pair<std::size_t, std::string>, Block> blocks;
    std::vector<std::string> said;  // each walk's directories, in order
    std::string left_after;
  };
  const Row rows[] = {
      {"ChainsMeetAbove", {"a/b/c", "a/d"}, {}, {"a/b/c", "a/d"},
       {{{0, "a"}, Block::Later}}, {"a/b/c a/b", "a/d a"}, ""},
      {"HeldStopsAtOnce", {"a/b"}, {}, {"a/b"}, {{{0, "a"}, Block::Held}},
       {"a/b"}, "a/\n"},
      {"StopsAtWhatStays", {"a/b"}, {"a/x"}, {"a/b"}, {}, {"a/b"},
       "a/\na/x\n"},
      {"LaterWalkFindsItGone", {"a/b"}, {}, {"a/b", "a/b"}, {},
       {"a/b a", ""}, ""},
      {"DeeperFirst", {"a/b/c/d", "a/e"}, {}, {"a/e", "a/b/c/d"},
       {{{0, "a"}, Block::Later}}, {"a/e", "a/b/c/d a/b/c a/b a"}, ""},
  };
  for (const Row& row : rows) {
    fs::remove_all(left);
    fs::create_directories(left);
    for (const auto& dir : row.dirs) fs::create_directories(left + "/" + dir);
    for (const auto& file : row.files) make_file(left + "/" + file, 1);
    Tree tree = open_tree(left);
    Workers workers(4);
    std::deque<PruneWalk> walks(row.starts.size());
    for (std::size_t i = 0; i < walks.size(); ++i) {
      walks[i].tree = &tree;
      walks[i].dir = row.starts[i];
    }
    auto blocked = [&](std::size_t i, const std::string& dir) {
      auto found = row.blocks.find({i, dir});
      return found == row.blocks.end() ? Block::Free : found->second;
    };
    EXPECT_TRUE(run_walks(walks, 0, walks.size(), workers, blocked,
                          [](const Tree&, const std::string&) {}))
        << row.name;
    for (std::size_t i = 0; i < walks.size(); ++i) {
      std::string said;
      for (const Line& line : walks[i].lines) {
        std::string shown = line.text.substr(line.text.find(left) +
                                             left.size() + 1);
        said += (said.empty() ? "" : " ") + shown.substr(0, shown.find('"'));
      }
      EXPECT_EQ(said, row.said[i]) << row.name << " walk " << i;
    }
    close_tree(tree);
    EXPECT_EQ(list_tree(left), row.left_after) << row.name;
  }
}

TEST_F(SyncTest, RootGivenWithASlashIsNeverRemoved) {
  make_file(right + "/d/f", 1);
  Tree tree = open_tree(right + "//");
  unlink((right + "/d/f").c_str());
  auto result = capture([&] { return remove_empty_parents(tree, "d"); });
  close_tree(tree);
  EXPECT_EQ(result.out, "Ordner \"" + right + "//d\" wurde entfernt\n");
  EXPECT_TRUE(fs::is_directory(right));
}

TEST_F(SyncTest, OtherActionsChangeNothing) {
  make_file(left + "/l", 1);
  make_file(right + "/r", 1);
  for (char action : {'x', 'j', '\0', ' '}) {
    auto result = capture([&] {
      return handle_missing({{"l", MissingRight}, {"r", MissingLeft}}, left,
                            right, action);
    });
    EXPECT_EQ(result.out + result.err, "") << int(action);
    EXPECT_EQ(list_tree(tmp.path), "L/\nL/l\nR/\nR/r\n") << int(action);
  }
}

TEST_F(SyncTest, EachAnswerLeavesTheTreesAsAsked) {
  struct Row {
    char action;
    std::string left_after;
    std::string right_after;
  };
  const Row rows[] = {
      {'l', "both\nr/\nr/only\n", "both\nr/\nr/only\n"},
      {'r', "both\nl/\nl/only\n", "both\nl/\nl/only\n"},
      {'b', "both\nl/\nl/only\nr/\nr/only\n", "both\nl/\nl/only\nr/\nr/only\n"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    std::string l = dir.path + "/L", r = dir.path + "/R";
    make_file(l + "/both", 1);
    make_file(r + "/both", 1);
    make_file(l + "/l/only", 2);
    make_file(r + "/r/only", 3);
    capture([&] {
      return handle_missing(
          {{"l/only", MissingRight, 2}, {"r/only", MissingLeft, 3}}, l, r,
          row.action);
    });
    EXPECT_EQ(list_tree(l), row.left_after) << row.action;
    EXPECT_EQ(list_tree(r), row.right_after) << row.action;
  }
}

TEST_F(SyncTest, MoreUpdatesThanABatchHoldsAreAllMade) {
  std::vector<DiffEntry> entries;
  std::string expected_out;
  for (int i = 0; i < 300; ++i) {
    std::string name = "d/f" + std::to_string(i);
    make_file(left + "/" + name, 2000 + i, 5, "new " + std::to_string(i));
    make_file(right + "/" + name, 1000, 0, "old");
    entries.push_back({std::pmr::string(name), LeftNewer});
    expected_out += left + "/" + name + " -> " + right + "/" + name + "\n";
  }
  auto result =
      capture([&] { return sync_different_files(entries, left, right); });
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(result.err, "");
  for (int i = 0; i < 300; i += 37) {
    std::string name = right + "/d/f" + std::to_string(i);
    EXPECT_EQ(read_file(name), "new " + std::to_string(i));
    EXPECT_EQ(mtime_of(name).tv_sec, 2000 + i);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(right + "/d"),
                          fs::directory_iterator()),
            300);
}

}  // namespace

namespace {

TEST(TempFileNameTest, OnlyTheCopysOwnNamesMatch) {
  struct Row {
    std::string name;
    bool matches;
  };
  const Row rows[] = {
      {temp_file_name(4711, 0), true},
      {temp_file_name(1, 99), true},
      {".kalvern-12-3.tmp", true},
      {".kalvern--3.tmp", false},
      {".kalvern-12-.tmp", false},
      {".kalvern-12-3.tmp~", false},
      {"kalvern-12-3.tmp", false},
      {".kalvern-1a-3.tmp", false},
      {".kalvern-12-3.TMP", false},
      {".kalvern-12.tmp", false},
      {"photo.jpg", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(is_temp_file_name(row.name.c_str()), row.matches) << row.name;
  }
}

TEST(TempFileNameTest, ScanPassesOverALeftoverTemporaryFile) {
  TempDir tmp;
  make_file(tmp.path + "/d/" + temp_file_name(123, 0), 10);
  make_file(tmp.path + "/d/.kalvern-notes.tmp", 20);
  EXPECT_EQ(scan_directory(tmp.path).files,
            (FileTimeMap{{"d/.kalvern-notes.tmp", 20}}));
}

}  // namespace
