// Tests of the status line's text: fitting it to the terminal and the
// texts of the scan and of a copy.  The unit tests run with standard error
// in a pipe or a file, where paths go out as stored.

#include "progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

struct FitRow {
  std::string name;
  std::string head;
  std::string path;
  std::string tail;
  std::uint64_t width;
  std::string expected;
};

void PrintTo(const FitRow& row, std::ostream* out) { *out << row.name; }

class FitStatusTest : public ::testing::TestWithParam<FitRow> {};

TEST_P(FitStatusTest, KeepsWithinTheWidth) {
  const FitRow& row = GetParam();
  EXPECT_EQ(fit_status(row.head, row.path, row.tail, row.width), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FitStatusTest,
    ::testing::Values(
        FitRow{"Fits", "Kopiere ", "a/b.txt", ": 1 von 2", 40,
               "Kopiere a/b.txt: 1 von 2"},
        FitRow{"FitsExactly", "K ", "a/b.txt", " 1", 11, "K a/b.txt 1"},
        FitRow{"PathLosesItsBeginning", "K ", "dir/sub/file.txt", " 1", 14,
               "K ...ile.txt 1"},
        FitRow{"PathCutByCharacters", "K ", "Übersicht_Straße.ods", " 1", 14,
               "K ...aße.ods 1"},
        FitRow{"NoRoomForThePathEndIsCut", "Kopiere ", "a/b/c/d.txt",
               ": 100 von 200", 12, "Kopiere a/b/"},
        FitRow{"TextWithoutPathIsCutAtItsEnd", "Suche: links 5 Dateien", "", "",
               10, "Suche: lin"},
        FitRow{"CutNeverSplitsACharacter", "Größe", "", "", 3, "Grö"},
        FitRow{"ZeroWidth", "Suche", "", "", 0, ""}));

TEST(ScanStatusText, NamesTheFilesFoundOnEachSide) {
  EXPECT_EQ(scan_status_text(12345, 0, 100),
            "Suche: links 12345 Dateien, rechts 0 Dateien");
  EXPECT_EQ(scan_status_text(12345, 678, 20), "Suche: links 12345 D");
}

TEST(CopyStatusText, ShowsBytesCopiedAndTotal) {
  EXPECT_EQ(copy_status_text("R/film.mkv", 1048576, 4194304, 100),
            "Kopiere R/film.mkv: 1048576 von 4194304 Bytes (25 %)");
  EXPECT_EQ(copy_status_text("Filme/2024/Urlaub.mkv", 5, 10, 40),
            "Kopiere ...ub.mkv: 5 von 10 Bytes (50 %)");
  EXPECT_EQ(copy_status_text("leer", 0, 0, 100),
            "Kopiere leer: 0 von 0 Bytes (100 %)");
}

TEST(StatusLength, CountsCharactersNotBytes) {
  EXPECT_EQ(status_length("Größe"), 5u);
  EXPECT_EQ(status_length(""), 0u);
}

}  // namespace
