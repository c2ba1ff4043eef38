// Tests of the comparison of two file-time maps and of the directory scan.

#include "compare.h"
#include "scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <ostream>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "path.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// compare_dirs

using Entry = std::pair<std::string, std::int32_t>;

// The six counters of a comparison, in the order of CompareResult.
struct Counters {
  std::uint64_t left_total = 0;
  std::uint64_t right_total = 0;
  std::uint64_t same_count = 0;
  std::uint64_t different_count = 0;
  std::uint64_t missing_left_count = 0;
  std::uint64_t missing_right_count = 0;
  bool operator==(const Counters&) const = default;
};

// What a comparison yields, with the entries sorted by key so that a row does
// not depend on the iteration order of the hash maps.
struct Outcome {
  std::vector<Entry> entries;
  Counters counters;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* out) {
  const Counters& c = outcome.counters;
  *out << "{entries:";
  for (const auto& [key, kind] : outcome.entries) {
    *out << " (" << ::testing::PrintToString(key) << ", " << kind << ")";
  }
  *out << "; left_total " << c.left_total << ", right_total " << c.right_total
       << ", same " << c.same_count << ", different " << c.different_count
       << ", missing_left " << c.missing_left_count << ", missing_right "
       << c.missing_right_count << "}";
}

// `outcome` with its entries sorted by key, then by kind.
Outcome in_key_order(Outcome outcome) {
  std::sort(outcome.entries.begin(), outcome.entries.end());
  return outcome;
}

Outcome outcome_of(const CompareResult& result) {
  Outcome outcome;
  for (const DiffEntry& entry : result.entries) {
    outcome.entries.emplace_back(entry.relative_path, entry.kind);
  }
  outcome.counters = {result.left_total,         result.right_total,
                      result.same_count,         result.different_count,
                      result.missing_left_count, result.missing_right_count};
  return in_key_order(outcome);
}

struct CompareRow {
  std::string name;
  FileTimeMap left;
  FileTimeMap right;
  Outcome expected;
  // For a large row: builds it when its test runs, not in every process
  // of the suite when the tests are registered.
  CompareRow (*build)() = nullptr;
  std::int64_t slack = 0;  // seconds that times may differ by, yet match
};

// The row itself, built where it is built late.
const CompareRow& built(const CompareRow& row) {
  if (row.build == nullptr) return row;
  static const CompareRow large = row.build();
  return large;
}

void PrintTo(const CompareRow& row, std::ostream* out) { *out << row.name; }

// Many keys of every kind, so that the hash maps interleave them.
CompareRow many_keys_row() {
  CompareRow row{"ManyKeysOfEveryKind", {}, {}, {}};
  for (int i = 0; i < 1000; ++i) {
    std::string n = std::to_string(i);
    row.left[std::pmr::string("same/" + n)] = i;
    row.right[std::pmr::string("same/" + n)] = i;
    row.left[std::pmr::string("left-newer/" + n)] = 1000 + i;
    row.right[std::pmr::string("left-newer/" + n)] = -i;
    row.left[std::pmr::string("right-newer/" + n)] = -1000 - i;
    row.right[std::pmr::string("right-newer/" + n)] = i;
    row.left[std::pmr::string("left-only/" + n)] = i;
    row.right[std::pmr::string("right-only/" + n)] = i;
    row.expected.entries.emplace_back("left-newer/" + n, LeftNewer);
    row.expected.entries.emplace_back("right-newer/" + n, RightNewer);
    row.expected.entries.emplace_back("left-only/" + n, MissingRight);
    row.expected.entries.emplace_back("right-only/" + n, MissingLeft);
  }
  row.expected.counters = {4000, 4000, 1000, 2000, 1000, 1000};
  return row;
}

std::vector<CompareRow> compare_rows() {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::vector<CompareRow> rows = {
      {"BothEmpty", {}, {}, {{}, {0, 0, 0, 0, 0, 0}}},
      {"SameKeysSameTimes",
       {{"a.txt", 1}, {"b/c.txt", 2}, {"d/e/f.txt", 3}},
       {{"a.txt", 1}, {"b/c.txt", 2}, {"d/e/f.txt", 3}},
       {{}, {3, 3, 3, 0, 0, 0}}},
      {"LeftNewerByOneSecond",
       {{"f.txt", 100}},
       {{"f.txt", 99}},
       {{{"f.txt", LeftNewer}}, {1, 1, 0, 1, 0, 0}}},
      {"RightNewerByOneSecond",
       {{"f.txt", 99}},
       {{"f.txt", 100}},
       {{{"f.txt", RightNewer}}, {1, 1, 0, 1, 0, 0}}},
      {"NegativeLeftAgainstPositiveRight",
       {{"f.txt", -5}},
       {{"f.txt", 3}},
       {{{"f.txt", RightNewer}}, {1, 1, 0, 1, 0, 0}}},
      {"BothNegative",
       {{"f.txt", -1}},
       {{"f.txt", -2}},
       {{{"f.txt", LeftNewer}}, {1, 1, 0, 1, 0, 0}}},
      {"ZeroAgainstMinusOne",
       {{"f.txt", 0}},
       {{"f.txt", -1}},
       {{{"f.txt", LeftNewer}}, {1, 1, 0, 1, 0, 0}}},
      {"ExtremeTimes",
       {{"max.txt", kMax}, {"min.txt", kMin}},
       {{"max.txt", kMin}, {"min.txt", kMax}},
       {{{"max.txt", LeftNewer}, {"min.txt", RightNewer}}, {2, 2, 0, 2, 0, 0}}},
      {"EqualNegativeTimes",
       {{"f.txt", -7}},
       {{"f.txt", -7}},
       {{}, {1, 1, 1, 0, 0, 0}}},
      {"KeysDifferingInCase",
       {{"A.txt", 1}},
       {{"a.txt", 1}},
       {{{"A.txt", MissingRight}, {"a.txt", MissingLeft}}, {1, 1, 0, 0, 1, 1}}},
      {"KeysInDifferentUnicodeNormalisation",
       {{"M\xC3\xBCnchen.txt", 1}},
       {{"Mu\xCC\x88nchen.txt", 1}},
       {{{"M\xC3\xBCnchen.txt", MissingRight},
         {"Mu\xCC\x88nchen.txt", MissingLeft}},
        {1, 1, 0, 0, 1, 1}}},
      {"KeysWrittenDifferently",
       {{"a/b.txt", 1}, {"c.txt", 2}},
       {{"a/./b.txt", 1}, {"c.txt ", 2}},
       {{{"a/./b.txt", MissingLeft},
         {"a/b.txt", MissingRight},
         {"c.txt", MissingRight},
         {"c.txt ", MissingLeft}},
        {2, 2, 0, 0, 2, 2}}},
      // A walk of each directory in name order, a directory's name read
      // as if it ended in '/', meets keys in this order: '-' and '.' before
      // '/', bytes above 0x7f after ASCII, upper case before lower.
      {"KeysInByteOrder",
       {{"a/b", 1}, {"a.b", 1}, {"a-b", 2}, {"a\xff", 1}, {"a\xc3\xa4", 1},
        {"B", 1}, {"ab", 1}, {"a/c", 1}},
       {{"a-b", 1}, {"a/c", 2}, {"a0", 1}, {"A", 1}, {"a/\x01", 1}},
       {{{"B", MissingRight}, {"a-b", LeftNewer}, {"a.b", MissingRight},
         {"a/b", MissingRight}, {"a/c", RightNewer}, {"ab", MissingRight},
         {"a\xc3\xa4", MissingRight}, {"a\xff", MissingRight},
         {"A", MissingLeft}, {"a/\x01", MissingLeft}, {"a0", MissingLeft}},
        {8, 5, 0, 2, 3, 6}}},
      {"LeftOnly",
       {{"a", 1}, {"b/c", 2}, {"d", 3}},
       {},
       {{{"a", MissingRight}, {"b/c", MissingRight}, {"d", MissingRight}},
        {3, 0, 0, 0, 0, 3}}},
      {"RightOnly",
       {},
       {{"a", 1}, {"b/c", 2}, {"d", 3}},
       {{{"a", MissingLeft}, {"b/c", MissingLeft}, {"d", MissingLeft}},
        {0, 3, 0, 0, 3, 0}}},
      {"OneSecondApartOnFat",
       {{"odd", 101}, {"even", 100}, {"two", 104}},
       {{"odd", 100}, {"even", 101}, {"two", 102}},
       {{{"two", LeftNewer}}, {3, 3, 2, 1, 0, 0}},
       nullptr,
       1},
      {"ExtremesOnFat",
       {{"max", kMax}, {"min", kMin}},
       {{"max", kMax - 1}, {"min", kMax}},
       {{{"min", RightNewer}}, {2, 2, 1, 1, 0, 0}},
       nullptr,
       1},
      {"AllKinds",
       {{"same", 5}, {"newer-left", 10}, {"newer-right", 1}, {"only-left", 7}},
       {{"same", 5}, {"newer-left", 9}, {"newer-right", 2}, {"only-right", 3}},
       {{{"newer-left", LeftNewer},
         {"newer-right", RightNewer},
         {"only-left", MissingRight},
         {"only-right", MissingLeft}},
        {4, 4, 1, 2, 1, 1}}},
  };
  rows.push_back({"ManyKeysOfEveryKind", {}, {}, {}, many_keys_row});
  return rows;
}

class CompareDirsTest : public ::testing::TestWithParam<CompareRow> {};

TEST_P(CompareDirsTest, EntriesAndCounters) {
  const CompareRow& row = built(GetParam());
  EXPECT_EQ(outcome_of(compare_dirs(row.left, row.right, row.slack)),
            in_key_order(row.expected));
}

// The names of the invariants of a comparison's result that it breaks.
std::vector<std::string> broken_invariants(const CompareResult& r) {
  std::vector<std::string> broken;
  if (r.left_total !=
      r.same_count + r.different_count + r.missing_right_count) {
    broken.push_back("left_total");
  }
  if (r.right_total !=
      r.same_count + r.different_count + r.missing_left_count) {
    broken.push_back("right_total");
  }
  if (r.entries.size() !=
      r.different_count + r.missing_left_count + r.missing_right_count) {
    broken.push_back("entry count");
  }
  std::unordered_set<std::string_view> keys;
  for (const DiffEntry& entry : r.entries) {
    if (!keys.insert(entry.relative_path).second) {
      broken.push_back("key twice: " + std::string(entry.relative_path));
    }
    if (entry.kind < LeftNewer || entry.kind > MissingRight) {
      broken.push_back("kind " + std::to_string(entry.kind));
    }
  }
  if (!std::is_partitioned(
          r.entries.begin(), r.entries.end(),
          [](const DiffEntry& entry) { return entry.kind != MissingLeft; })) {
    broken.push_back("MissingLeft entries not last");
  }
  for (std::size_t i = 1; i < r.entries.size(); ++i) {
    const DiffEntry& before = r.entries[i - 1];
    const DiffEntry& entry = r.entries[i];
    if ((before.kind == MissingLeft) == (entry.kind == MissingLeft) &&
        !(std::string_view(before.relative_path) <
          std::string_view(entry.relative_path))) {
      broken.push_back("not in key order: " + std::string(entry.relative_path));
    }
  }
  return broken;
}

TEST_P(CompareDirsTest, InvariantsHold) {
  const CompareRow& row = built(GetParam());
  EXPECT_EQ(broken_invariants(compare_dirs(row.left, row.right, row.slack)),
            std::vector<std::string>{});
}

// Entries in list order, kinds included.
std::vector<Entry> listed(const CompareResult& result) {
  std::vector<Entry> entries;
  for (const DiffEntry& entry : result.entries) {
    entries.emplace_back(entry.relative_path, entry.kind);
  }
  return entries;
}

// How far apart two times are, without overflow.
std::uint64_t gap(std::int64_t a, std::int64_t b) {
  return a > b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)
               : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}

// The entries as the plain rule lists them: the left table's listed keys,
// then the right table's one-sided keys, each pass sorted by key byte by
// byte (std::string compares its bytes unsigned).
std::vector<Entry> plain_listing(const FileTimeMap& left,
                                 const FileTimeMap& right, std::int64_t slack) {
  std::vector<Entry> entries;
  for (const auto& [key, seconds] : left) {
    auto found = right.find(key);
    if (found == right.end()) {
      entries.emplace_back(key, MissingRight);
    } else if (gap(seconds, found->second) >
               static_cast<std::uint64_t>(slack)) {
      entries.emplace_back(key,
                           seconds > found->second ? LeftNewer : RightNewer);
    }
  }
  std::sort(entries.begin(), entries.end());
  std::size_t left_pass = entries.size();
  for (const auto& [key, seconds] : right) {
    if (!left.contains(key)) entries.emplace_back(key, MissingLeft);
  }
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(left_pass),
            entries.end());
  return entries;
}

TEST_P(CompareDirsTest, ListsEachPassInKeyOrder) {
  const CompareRow& row = built(GetParam());
  EXPECT_EQ(listed(compare_dirs(row.left, row.right, row.slack)),
            plain_listing(row.left, row.right, row.slack));
}

// The form that moves keys out of the tables lists the same entries in the
// same order as the copying form; the left table keeps the files found on
// both sides, the right one is emptied.
TEST_P(CompareDirsTest, MovingFormListsAlike) {
  const CompareRow& row = built(GetParam());
  CompareResult copied = compare_dirs(row.left, row.right, row.slack);
  FileTimeMap left = row.left;
  FileTimeMap right = row.right;
  CompareResult moved =
      compare_dirs(std::move(left), std::move(right), row.slack);
  EXPECT_EQ(listed(moved), listed(copied));
  EXPECT_EQ(outcome_of(moved), outcome_of(copied));
  EXPECT_EQ(left.size(), copied.same_count + copied.different_count);
  EXPECT_EQ(right.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, CompareDirsTest,
                         ::testing::ValuesIn(compare_rows()),
                         [](const auto& info) { return info.param.name; });

TEST(CompareDirs, MissingLeftEntriesFormTheTail) {
  CompareRow row = many_keys_row();
  CompareResult result = compare_dirs(row.left, row.right, row.slack);
  std::vector<std::int32_t> kinds;
  for (const DiffEntry& entry : result.entries) {
    kinds.push_back(entry.kind);
  }
  std::vector<std::int32_t> missing_left_last = kinds;
  std::stable_partition(missing_left_last.begin(), missing_left_last.end(),
                        [](std::int32_t kind) { return kind != MissingLeft; });
  EXPECT_EQ(kinds, missing_left_last);
}

// ---------------------------------------------------------------------------
// scan_directory on real trees

// A tree built below `base`, the scan's root relative to `base`, and the map
// the scan must give.
struct ScanRow {
  std::string name;
  void (*build)(const std::string& base);
  std::string root;
  FileTimeMap expected;
};

void PrintTo(const ScanRow& row, std::ostream* out) { *out << row.name; }

std::vector<ScanRow> scan_rows() {
  return {
      {"EmptyRoot", [](const std::string& b) { make_dir(b + "/t"); }, "t", {}},
      {"FilesAtDepth",
       [](const std::string& b) {
         make_file(b + "/t/a.txt", 1);
         make_file(b + "/t/b/c.txt", 2);
         make_file(b + "/t/b/d/e/f.txt", 3);
         make_dir(b + "/t/empty/dir");
       },
       "t",
       {{"a.txt", 1}, {"b/c.txt", 2}, {"b/d/e/f.txt", 3}}},
      {"ExcludedDirectoriesAtDepth",
       [](const std::string& b) {
         make_file(b + "/t/keep.txt", 1);
         make_file(b + "/t/lost+found/x.txt", 2);
         make_file(b + "/t/$RECYCLE.BIN/x.txt", 2);
         make_file(b + "/t/System Volume Information/x.txt", 2);
         make_file(b + "/t/Recovery/x.txt", 2);
         make_file(b + "/t/RECYCLER/x.txt", 2);
         make_file(b + "/t/a/lost+found/x.txt", 2);
         make_file(b + "/t/a/b/$RECYCLE.BIN/x.txt", 2);
         make_file(b + "/t/a/b/c/System Volume Information/x.txt", 2);
         make_file(b + "/t/a/Recovery/deeper/x.txt", 2);
         make_file(b + "/t/a/b/RECYCLER/x.txt", 2);
         make_file(b + "/t/a/b/c/keep.txt", 3);
       },
       "t",
       {{"keep.txt", 1}, {"a/b/c/keep.txt", 3}}},
      {"NamesDifferingFromExcludedOnesAreScanned",
       [](const std::string& b) {
         make_file(b + "/t/recovery/x.txt", 1);
         make_file(b + "/t/RECOVERY/x.txt", 2);
         make_file(b + "/t/Lost+Found/x.txt", 3);
         make_file(b + "/t/lost+found.old/x.txt", 4);
         make_file(b + "/t/Recovery /x.txt", 5);
         make_file(b + "/t/sub/Recycler/x.txt", 6);
         make_file(b + "/t/sub/$recycle.bin/x.txt", 7);
         make_file(b + "/t/sub/System Volume information/x.txt", 8);
       },
       "t",
       {{"recovery/x.txt", 1},
        {"RECOVERY/x.txt", 2},
        {"Lost+Found/x.txt", 3},
        {"lost+found.old/x.txt", 4},
        {"Recovery /x.txt", 5},
        {"sub/Recycler/x.txt", 6},
        {"sub/$recycle.bin/x.txt", 7},
        {"sub/System Volume information/x.txt", 8}}},
      {"RegularFilesNamedLikeExcludedDirectories",
       [](const std::string& b) {
         make_file(b + "/t/lost+found", 1);
         make_file(b + "/t/$RECYCLE.BIN", 2);
         make_file(b + "/t/System Volume Information", 3);
         make_file(b + "/t/sub/Recovery", 4);
         make_file(b + "/t/sub/RECYCLER", 5);
       },
       "t",
       {{"lost+found", 1},
        {"$RECYCLE.BIN", 2},
        {"System Volume Information", 3},
        {"sub/Recovery", 4},
        {"sub/RECYCLER", 5}}},
      {"UnreadableExcludedDirectoryIsNotEntered",
       [](const std::string& b) {
         make_file(b + "/t/keep.txt", 1);
         make_file(b + "/t/a/lost+found/secret.txt", 2);
         make_file(b + "/t/a/lost+found/inner/secret.txt", 2);
         fs::permissions(b + "/t/a/lost+found", fs::perms::none);
       },
       "t",
       {{"keep.txt", 1}}},
      {"RootNamedLikeAnExcludedDirectory",
       [](const std::string& b) {
         make_file(b + "/lost+found/a.txt", 1);
         make_file(b + "/lost+found/sub/b.txt", 2);
       },
       "lost+found",
       {{"a.txt", 1}, {"sub/b.txt", 2}}},
      {"LinksToFilesInsideAreKeyedByTheTarget",
       [](const std::string& b) {
         make_file(b + "/t/a.txt", 10);
         make_file(b + "/t/sub/b.txt", 20);
         make_link("a.txt", b + "/t/link-a");
         make_link("../a.txt", b + "/t/sub/up-a");
         make_link("sub/b.txt", b + "/t/link-b");
         make_link(b + "/t/sub/b.txt", b + "/t/abs-b");
         make_link("link-a", b + "/t/link-to-link");
       },
       "t",
       {{"a.txt", 10}, {"sub/b.txt", 20}}},
      {"LinkTimeIsTheTargetTime",
       [](const std::string& b) {
         make_file(b + "/t/sub/target.txt", 1234);
         make_link("sub/target.txt", b + "/t/only-link");
       },
       "t",
       {{"sub/target.txt", 1234}}},
      {"LinksToFilesOutsideAreNotRecorded",
       [](const std::string& b) {
         make_file(b + "/t/a.txt", 1);
         make_file(b + "/outside.txt", 2);
         make_file(b + "/t2/f.txt", 3);
         make_link("../outside.txt", b + "/t/out");
         make_link(b + "/outside.txt", b + "/t/out-abs");
         make_link("../../t2/f.txt", b + "/t/sub/out-sibling");
       },
       "t",
       {{"a.txt", 1}}},
      {"LinkLeavingAndReenteringTheTree",
       [](const std::string& b) {
         make_file(b + "/t/a.txt", 1);
         make_link("../../t/a.txt", b + "/t/sub/back");
       },
       "t",
       {{"a.txt", 1}}},
      {"LinkIntoAnExcludedDirectory",
       [](const std::string& b) {
         make_file(b + "/t/lost+found/x.txt", 5);
         make_file(b + "/t/a/Recovery/y.txt", 6);
         make_link("lost+found/x.txt", b + "/t/to-x");
         make_link("../a/Recovery/y.txt", b + "/t/b/to-y");
       },
       "t",
       {{"lost+found/x.txt", 5}, {"a/Recovery/y.txt", 6}}},
      {"LinksToDirectoriesAreNotFollowed",
       [](const std::string& b) {
         make_file(b + "/t/sub/f.txt", 1);
         make_file(b + "/elsewhere/g.txt", 2);
         make_link("sub", b + "/t/dir-link");
         make_link("../elsewhere", b + "/t/out-dir");
         make_link("../elsewhere", b + "/t/lost+found");
         make_link(".", b + "/t/self-dir");
         make_link("..", b + "/t/parent-dir");
       },
       "t",
       {{"sub/f.txt", 1}}},
      {"LinkThroughALinkedDirectory",
       [](const std::string& b) {
         make_file(b + "/t/real/f.txt", 3);
         make_link("real", b + "/t/dir-link");
         make_link("dir-link/f.txt", b + "/t/via");
       },
       "t",
       {{"real/f.txt", 3}}},
      {"DanglingAndLoopingLinksArePassedOver",
       [](const std::string& b) {
         make_file(b + "/t/a.txt", 1);
         make_link("nowhere", b + "/t/dangling");
         make_link("a.txt/below", b + "/t/below-a-file");
         make_link("loop2", b + "/t/loop1");
         make_link("loop1", b + "/t/loop2");
         make_link("self", b + "/t/self");
         make_link("../self", b + "/t/sub/via-loop");
       },
       "t",
       {{"a.txt", 1}}},
      {"PipesAndSocketsArePassedOver",
       [](const std::string& b) {
         make_file(b + "/t/a.txt", 1);
         make_fifo(b + "/t/pipe");
         make_socket(b + "/t/sub/sock");
         make_link("pipe", b + "/t/pipe-link");
       },
       "t",
       {{"a.txt", 1}}},
      {"DotFilesAndDotDirectories",
       [](const std::string& b) {
         make_file(b + "/t/.hidden", 1);
         make_file(b + "/t/.dir/f", 2);
         make_file(b + "/t/..double", 3);
         make_file(b + "/t/...", 4);
         make_file(b + "/t/..../f", 5);
       },
       "t",
       {{".hidden", 1},
        {".dir/f", 2},
        {"..double", 3},
        {"...", 4},
        {"..../f", 5}}},
      {"NamesWithControlAndNonUtf8Bytes",
       [](const std::string& b) {
         make_file(b + "/t/new\nline", 1);
         make_file(b + "/t/esc\x1b[31m", 2);
         make_file(b + "/t/\xff\xfe/q\"b\\s", 3);
       },
       "t",
       {{"new\nline", 1}, {"esc\x1b[31m", 2}, {"\xff\xfe/q\"b\\s", 3}}},
      {"NegativeAndFractionalTimes",
       [](const std::string& b) {
         make_file(b + "/t/half-before-epoch", -1, 500000000);
         make_file(b + "/t/epoch", 0);
         make_file(b + "/t/long-ago", -86400 * 365 * 30, 250000000);
         make_file(b + "/t/point-seven", 1700000000, 700000000);
         make_file(b + "/t/almost-next", 1700000000, 999999999);
       },
       "t",
       {{"half-before-epoch", -1},
        {"epoch", 0},
        {"long-ago", -86400 * 365 * 30},
        {"point-seven", 1700000000},
        {"almost-next", 1700000000}}},
  };
}

class ScanDirectoryTest : public ::testing::TestWithParam<ScanRow> {};

TEST_P(ScanDirectoryTest, RecordsTheRegularFiles) {
  const ScanRow& row = GetParam();
  TempDir base;
  row.build(base.path);
  EXPECT_EQ(scan_directory(base.path + "/" + row.root).files, row.expected);
}

INSTANTIATE_TEST_SUITE_P(Trees, ScanDirectoryTest,
                         ::testing::ValuesIn(scan_rows()),
                         [](const auto& info) { return info.param.name; });

TEST(ScanDirectory, SubSecondPartsOfOneSecondCompareEqual) {
  TempDir base;
  make_file(base.path + "/l/f.txt", 100, 100000000);
  make_file(base.path + "/r/f.txt", 100, 900000000);
  ScanResult left = scan_directory(base.path + "/l");
  ScanResult right = scan_directory(base.path + "/r");
  CompareResult result =
      compare_dirs(std::move(left.files), std::move(right.files));
  EXPECT_EQ(outcome_of(result), (Outcome{{}, {1, 1, 1, 0, 0, 0}}));
}

// ---------------------------------------------------------------------------
// The same tree given as different root strings

// "photos" with files, dot-files and links, reached as "album" through a
// link, next to a file outside it. `@` in a root stands for the base.
void build_photos(const std::string& b) {
  make_file(b + "/photos/a.jpg", 1);
  make_file(b + "/photos/.hidden", 2);
  make_file(b + "/photos/sub/b.jpg", 3);
  make_file(b + "/outside.jpg", 4);
  make_link("photos", b + "/album");
  make_link("album", b + "/album2");
  make_link("photos/sub", b + "/deep");
  make_dir(b + "/other");
  make_link("../a.jpg", b + "/photos/sub/up");
  make_link(b + "/album/sub/b.jpg", b + "/photos/through-album");
  make_link("../outside.jpg", b + "/photos/out");
}

const FileTimeMap kPhotos = {{"a.jpg", 1}, {".hidden", 2}, {"sub/b.jpg", 3}};

class ScanRootFormTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ScanRootFormTest, GivesTheSameKeys) {
  TempDir base;
  build_photos(base.path);
  WorkingDir cwd(base.path);
  EXPECT_EQ(scan_directory(with_base(GetParam(), base.path)).files, kPhotos);
}

INSTANTIATE_TEST_SUITE_P(
    Roots, ScanRootFormTest,
    ::testing::Values("photos", "./photos", "photos/.", "photos/", "@/photos",
                      "@/photos/.", "@/./photos", "@/other/../photos",
                      "photos/../photos", "photos/sub/..", "./photos/sub/../.",
                      "album", "./album/.", "@/album", "album2", "album/sub/..",
                      "album/../photos", "deep/..", "@/deep/../../photos"));

// ---------------------------------------------------------------------------
// The keys of the scan against the plain key rule

// Every regular file that a recursive walk without options reaches (types
// with links followed, excluded directories not entered), keyed by its
// resolved path relative to the resolved root; keys that lead out of the
// tree are left out.
FileTimeMap scan_by_the_key_rule(const std::string& root) {
  FileTimeMap files;
  const fs::path resolved_root = fs::weakly_canonical(root);
  for (auto it = fs::recursive_directory_iterator(root);
       it != fs::recursive_directory_iterator(); ++it) {
    std::error_code error;
    fs::file_status status = it->status(error);
    if (error) continue;
    if (fs::is_directory(status)) {
      if (is_excluded_name(it->path().filename().string())) {
        it.disable_recursion_pending();
      }
      continue;
    }
    if (!fs::is_regular_file(status)) continue;
    fs::path key =
        fs::weakly_canonical(it->path()).lexically_relative(resolved_root);
    if (key.empty() || *key.begin() == "..") continue;
    struct stat st;
    if (stat(it->path().c_str(), &st) != 0) {
      throw fs::filesystem_error(
          "stat", it->path(), std::error_code(errno, std::generic_category()));
    }
    files.insert_or_assign(std::pmr::string(key.native()), st.st_mtim.tv_sec);
  }
  return files;
}

// A tree "t" with every kind of entry and link, reachable as "tl" and "sl"
// (its subdirectory) through links, next to "outside" and "t2".
void build_mixed(const std::string& b) {
  make_file(b + "/t/a.txt", 10);
  make_file(b + "/t/.dot", 11);
  make_file(b + "/t/..dots", 12);
  make_file(b + "/t/sub/b.txt", 13);
  make_file(b + "/t/sub/deeper/c.txt", 14, 700000000);
  make_file(b + "/t/sub/old.txt", -1, 500000000);
  make_file(b + "/t/lost+found/x.txt", 15);
  make_file(b + "/t/sub/Recovery/y.txt", 16);
  make_file(b + "/t/RECOVERY/z.txt", 17);
  make_file(b + "/t/RECYCLER", 18);
  make_file(b + "/t/new\nline", 19);
  make_file(b + "/outside/o.txt", 20);
  make_file(b + "/t2/f.txt", 21);
  make_link("t", b + "/tl");
  make_link("t/sub", b + "/sl");
  make_link("../a.txt", b + "/t/sub/up");
  make_link("../a.txt", b + "/t/sub/twice");
  make_link("sub/up", b + "/t/chain");
  make_link("sub", b + "/t/dl");
  make_link("dl/b.txt", b + "/t/via-dirlink");
  make_link("../outside", b + "/t/dl-out");
  make_link("../outside/o.txt", b + "/t/out");
  make_link(b + "/outside/o.txt", b + "/t/out-abs");
  make_link("../t2/f.txt", b + "/t/out-sibling");
  make_link("lost+found/x.txt", b + "/t/into-excluded");
  make_link("../Recovery/y.txt", b + "/t/sub/deeper/into-excluded");
  make_link(b + "/tl/sub/b.txt", b + "/t/abs-through-link");
  make_link("../../t/sub/deeper/c.txt", b + "/t/sub/leave-and-return");
  make_link("../../sl/deeper/c.txt", b + "/t/sub/through-sl");
  make_link("nowhere", b + "/t/dangling");
  make_link("a.txt/x", b + "/t/below-a-file");
  make_link("loop2", b + "/t/loop1");
  make_link("loop1", b + "/t/loop2");
  make_link("self", b + "/t/sub/self");
  make_link(".", b + "/t/dot-link");
  make_link("..", b + "/t/sub/parent-link");
  make_fifo(b + "/t/sub/pipe");
  make_socket(b + "/t/sock");
}

class KeyRuleTest : public ::testing::TestWithParam<std::string> {};

TEST_P(KeyRuleTest, ScanGivesTheKeysOfThePlainRule) {
  TempDir base;
  build_mixed(base.path);
  WorkingDir cwd(base.path);
  std::string root = with_base(GetParam(), base.path);
  EXPECT_EQ(scan_directory(root).files, scan_by_the_key_rule(root));
}

// The listing follows the table's own order, so the scan must leave it as a
// plain table filled in walk order has it (no reserving, no refitting).
TEST_P(KeyRuleTest, ScanKeepsTheOrderOfThePlainRule) {
  using Pairs = std::vector<std::pair<std::pmr::string, std::int64_t>>;
  TempDir base;
  build_mixed(base.path);
  WorkingDir cwd(base.path);
  std::string root = with_base(GetParam(), base.path);
  ScanResult scan = scan_directory(root);
  const FileTimeMap& scanned = scan.files;
  FileTimeMap plain = scan_by_the_key_rule(root);
  EXPECT_EQ(Pairs(scanned.begin(), scanned.end()),
            Pairs(plain.begin(), plain.end()));
}

INSTANTIATE_TEST_SUITE_P(Roots, KeyRuleTest,
                         ::testing::Values("t", "./t", "t/.", "t/", "t/sub/..",
                                           "t/../t", "outside/../t", "@/t",
                                           "@/t/.", "tl", "tl/.", "tl/../t",
                                           "@/tl", "tl/sub", "sl", "./sl/.",
                                           "sl/..", "sl/deeper", "@/sl/../sub",
                                           "t/sub", "t/lost+found", "t/dl"));

// A fixed example of the rule on the mixed tree, so that the rule itself is
// pinned down too.
TEST(ScanDirectory, MixedTree) {
  TempDir base;
  build_mixed(base.path);
  FileTimeMap expected = {{"a.txt", 10},
                          {".dot", 11},
                          {"..dots", 12},
                          {"sub/b.txt", 13},
                          {"sub/deeper/c.txt", 14},
                          {"sub/old.txt", -1},
                          {"lost+found/x.txt", 15},
                          {"sub/Recovery/y.txt", 16},
                          {"RECOVERY/z.txt", 17},
                          {"RECYCLER", 18},
                          {"new\nline", 19}};
  EXPECT_EQ(scan_directory(base.path + "/t").files, expected);
}

// ---------------------------------------------------------------------------
// The scanned time: whole seconds, rounded down

struct TimeRow {
  std::string name;
  std::int64_t seconds;
  long nanoseconds;
  std::int64_t expected;
};

void PrintTo(const TimeRow& row, std::ostream* out) { *out << row.name; }

class ScanTimeTest : public ::testing::TestWithParam<TimeRow> {};

TEST_P(ScanTimeTest, WholeSecondsOfTheMtime) {
  const TimeRow& row = GetParam();
  TempDir base;
  make_file(base.path + "/t/f", row.seconds, row.nanoseconds);
  EXPECT_EQ(scan_directory(base.path + "/t").files,
            (FileTimeMap{{"f", row.expected}}));
}

INSTANTIATE_TEST_SUITE_P(
    Times, ScanTimeTest,
    ::testing::Values(TimeRow{"Epoch", 0, 0, 0},
                      TimeRow{"HalfSecondBeforeEpoch", -1, 500000000, -1},
                      TimeRow{"PointSeven", 1700000000, 700000000, 1700000000},
                      TimeRow{"JustBeforeNextSecond", 42, 999999999, 42},
                      TimeRow{"Year1950", -631152000, 100, -631152000},
                      TimeRow{"Year2100", 4102444800, 0, 4102444800}),
    [](const auto& info) { return info.param.name; });

}  // namespace
