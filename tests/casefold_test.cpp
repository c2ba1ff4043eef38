// Tests of folding paths for case and of finding the paths of a tree that
// a new path matches only when case is ignored.

#include "casefold.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct FoldRow {
  std::string name;
  std::string text;
  CaseRule rule;
  std::string expected;
};

void PrintTo(const FoldRow& row, std::ostream* out) { *out << row.name; }

class FoldCaseTest : public ::testing::TestWithParam<FoldRow> {};

TEST_P(FoldCaseTest, FoldsAsTheDriveDoes) {
  EXPECT_EQ(fold_case(GetParam().text, GetParam().rule), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FoldCaseTest,
    ::testing::Values(
        FoldRow{"ExactKeepsCase", "Dir/Foto.JPG", CaseRule::Exact,
                "Dir/Foto.JPG"},
        FoldRow{"AsciiLetters", "Dir/Foto.JPG", CaseRule::Ascii,
                "dir/foto.jpg"},
        FoldRow{"AsciiLeavesUmlauts", "Ä/Ö", CaseRule::Ascii, "Ä/Ö"},
        FoldRow{"Latin1", "ÄÖÜÀÞ", CaseRule::Unicode, "äöüàþ"},
        FoldRow{"TimesSignAndSharpS", "×ß", CaseRule::Unicode, "×ß"},
        FoldRow{"YWithDiaeresis", "Ÿ", CaseRule::Unicode, "ÿ"},
        FoldRow{"LatinExtendedA", "ŐŁŽĲ", CaseRule::Unicode, "őłžĳ"},
        FoldRow{"DottedAndDotlessI", "İı", CaseRule::Unicode, "İı"},
        FoldRow{"LongS", "ſ", CaseRule::Unicode, "ſ"},
        FoldRow{"Greek", "ΑΩΆΏ", CaseRule::Unicode, "αωάώ"},
        FoldRow{"FinalSigma", "ς", CaseRule::Unicode, "σ"},
        FoldRow{"Cyrillic", "ЖЯЀЏ", CaseRule::Unicode, "жяѐџ"},
        FoldRow{"OtherScriptsStay", "ǅⅫＡ", CaseRule::Unicode, "ǅⅫＡ"},
        FoldRow{"LeadByteAtTheEnd", "A\xc3", CaseRule::Unicode, "a\xc3"},
        FoldRow{"LeadWithoutContinuation", "\xc3\x41", CaseRule::Unicode,
                "\xc3\x61"}),
    [](const auto& info) { return info.param.name; });

// The files of a target that holds Dir/a, foto.jpg and sub/deep/y, found
// in both trees or on the target only; they outlive the indexes of them.
struct Target {
  FileTimeMap both;
  std::vector<DiffEntry> entries;
};

const Target& target() {
  static const Target files = [] {
    Target made;
    record_time(made.both, "Dir/a", 1);
    made.entries = {{"foto.jpg", MissingLeft},
                    {"sub/deep/y", MissingLeft},
                    {"Other", MissingRight}};
    return made;
  }();
  return files;
}

CaseIndex target_index() {
  return index_tree(CaseRule::Ascii, target().both, target().entries,
                    MissingLeft);
}

struct ClashRow {
  std::string name;
  std::string path;
  std::string clash;  // the path it matches but for case, or ""
};

void PrintTo(const ClashRow& row, std::ostream* out) { *out << row.name; }

class FindClashTest : public ::testing::TestWithParam<ClashRow> {};

TEST_P(FindClashTest, NamesThePathOfAnotherCase) {
  std::size_t seen = 0;
  EXPECT_EQ(find_clash(target_index(), GetParam().path, seen),
            GetParam().clash);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FindClashTest,
    ::testing::Values(ClashRow{"NewFile", "new.txt", ""},
                      ClashRow{"FileInAKnownDirectory", "Dir/b", ""},
                      ClashRow{"File", "Foto.JPG", "foto.jpg"},
                      ClashRow{"Directory", "dir/b", "Dir"},
                      ClashRow{"FileWhereADirectoryIs", "DIR", "Dir"},
                      ClashRow{"FileBelowAFile", "FOTO.jpg/x", "foto.jpg"},
                      ClashRow{"DeeperDirectory", "sub/Deep/z", "sub/deep"},
                      ClashRow{"OtherSideOnly", "other", ""},
                      ClashRow{"PrefixOfAName", "su/x", ""}),
    [](const auto& info) { return info.param.name; });

TEST(FindClashTest, TellsHowMuchIsKnownAsItStands) {
  std::vector<std::pair<std::string, std::size_t>> rows = {
      {"new/x", 0}, {"Dir/new/x", 3}, {"sub/deep/new/x", 8}, {"Dir/a", 5}};
  for (const auto& [path, expected] : rows) {
    std::size_t seen = 99;
    find_clash(target_index(), path, seen);
    EXPECT_EQ(seen, expected) << path;
  }
}

TEST(ClaimPathTest, TwoNewPathsOfOneRunClash) {
  CaseIndex index = target_index();
  Tree nowhere;  // no handle: the drive is never asked
  EXPECT_EQ(claim_path(index, nowhere, "New/a"), "");
  EXPECT_EQ(claim_path(index, nowhere, "new/b"), "New");
  EXPECT_EQ(claim_path(index, nowhere, "New/A"), "New/a");
  EXPECT_EQ(claim_path(index, nowhere, "New/c"), "");
}

TEST(ClaimPathTest, ExactRuleRecordsNothing) {
  CaseIndex index;
  Tree nowhere;
  EXPECT_EQ(claim_path(index, nowhere, "Dir/a"), "");
  EXPECT_EQ(claim_path(index, nowhere, "dir/a"), "");
  EXPECT_TRUE(index.paths.empty());
}

}  // namespace
