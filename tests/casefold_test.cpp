// Tests of folding paths for case and of finding the paths of a target
// that a new path matches only when case is ignored.

#include "casefold.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

TEST(FoldCaseTest, FoldsTheLettersOfEachRule) {
  const std::vector<std::pair<std::string, std::string>> unicode = {
      {"Dir/Foto.JPG", "dir/foto.jpg"},
      {"ÄÖÜÀÞŸ", "äöüàþÿ"},
      {"ŐŁŽĲ", "őłžĳ"},
      {"ΑΩΆΏς", "αωάώσ"},
      {"ЖЯЀЏ", "жяѐџ"},
      {"×ßİıſǅⅫ", "×ßİıſǅⅫ"},
      {"A\xc3", "a\xc3"},
      {"\xc3\x41", "\xc3\x61"}};
  for (const auto& [text, expected] : unicode) {
    EXPECT_EQ(fold_case(text, CaseRule::Unicode), expected) << text;
  }
  EXPECT_EQ(fold_case("Ä/Dir", CaseRule::Ascii), "Ä/dir");
  EXPECT_EQ(fold_case("Ä/Dir", CaseRule::Exact), "Ä/Dir");
}

// A target that holds Dir/a, found in both trees, and foto.jpg and
// sub/deep/y, found only there; the files outlive the indexes of them.
CaseIndex target_index() {
  static const auto files = [] {
    std::pair<FileTimeMap, std::vector<DiffEntry>> made;
    record_time(made.first, "Dir/a", 1);
    made.second = {{"foto.jpg", MissingLeft},
                   {"sub/deep/y", MissingLeft},
                   {"Other", MissingRight}};
    return made;
  }();
  return index_tree(CaseRule::Ascii, files.first, files.second, MissingLeft);
}

TEST(FindClashTest, NamesThePathOfAnotherCase) {
  // path, the path it matches but for case, the part known as it stands
  const std::vector<std::tuple<std::string, std::string, std::size_t>> rows = {
      {"new/x", "", 0},    {"Dir/b", "", 3},  {"Foto.JPG", "foto.jpg", 0},
      {"dir/b", "Dir", 0}, {"DIR", "Dir", 0}, {"sub/Deep/z", "sub/deep", 3},
      {"other", "", 0},    {"su/x", "", 0}};
  for (const auto& [path, clash, known] : rows) {
    std::size_t seen = 99;
    EXPECT_EQ(find_clash(target_index(), path, seen), clash) << path;
    EXPECT_EQ(seen, known) << path;
  }
}

}  // namespace
