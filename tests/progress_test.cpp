// Tests of the status line's text, fitted to the terminal's width.  Standard
// error is no terminal here, so paths go out as stored.

#include "progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

struct FitRow {
  std::string name;
  std::string path;
  std::uint64_t width;
  std::string expected;
};

void PrintTo(const FitRow& row, std::ostream* out) { *out << row.name; }

class FitStatusTest : public ::testing::TestWithParam<FitRow> {};

TEST_P(FitStatusTest, PathGivesWayFirstThenTheEnd) {
  const FitRow& row = GetParam();
  EXPECT_EQ(fit_status("K ", row.path, " 1", row.width), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FitStatusTest,
    ::testing::Values(FitRow{"Fits", "a/b.txt", 40, "K a/b.txt 1"},
                      FitRow{"FitsExactly", "a/b.txt", 11, "K a/b.txt 1"},
                      FitRow{"PathLosesItsBeginning", "dir/sub/file.txt", 14,
                             "K ...ile.txt 1"},
                      FitRow{"PathCutByCharacters", "Übersicht_Straße.ods", 14,
                             "K ...aße.ods 1"},
                      FitRow{"NoRoomForThePath", "a/b/c/d.txt", 7, "K a/b/c"},
                      FitRow{"CutNeverSplitsACharacter", "Größe", 4, "K Gr"},
                      FitRow{"ZeroWidth", "x", 0, ""}));

TEST(StatusText, ScanCopyAndReadBack) {
  EXPECT_EQ(scan_status_text(12345, 0, 100),
            "Suche: links 12345 Dateien, rechts 0 Dateien");
  EXPECT_EQ(scan_status_text(12345, 678, 20), "Suche: links 12345 D");
  EXPECT_EQ(copy_status_text("R/film.mkv", 1048576, 4194304, 100),
            "Kopiere R/film.mkv: 1048576 von 4194304 Bytes (25 %)");
  EXPECT_EQ(copy_status_text("Filme/2024/Urlaub.mkv", 5, 10, 40),
            "Kopiere ...ub.mkv: 5 von 10 Bytes (50 %)");
  EXPECT_EQ(read_back_status_text("R/Urlaub.mkv", 3145728, 4194304, 100),
            "Prüfe R/Urlaub.mkv: 3145728 von 4194304 Bytes (75 %)");
  EXPECT_EQ(read_back_status_text("Filme/2024/Urlaub.mkv", 10, 10, 41),
            "Prüfe ...aub.mkv: 10 von 10 Bytes (100 %)");
  EXPECT_EQ(read_back_status_text("R/leer.txt", 0, 0, 100),
            "Prüfe R/leer.txt: 0 von 0 Bytes (100 %)");
}

}  // namespace
