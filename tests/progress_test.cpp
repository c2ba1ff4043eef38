// Tests of the status line's text, fitted to the terminal's width, and of
// the pace that gives the time left.  Standard error is no terminal here, so
// paths go out as stored.

#include "progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "runstatus.h"

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

struct AmountRow {
  std::uint64_t done;
  std::uint64_t total;
  std::string expected;
};

class ByteAmountsTest : public ::testing::TestWithParam<AmountRow> {};

TEST_P(ByteAmountsTest, UnitOfTheTotalOneDecimal) {
  EXPECT_EQ(byte_amounts(GetParam().done, GetParam().total),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ByteAmountsTest,
    ::testing::Values(AmountRow{0, 0, "0 von 0 Bytes"},
                      AmountRow{512, 999, "512 von 999 Bytes"},
                      AmountRow{0, 1000, "0,0 von 1,0 kB"},
                      AmountRow{1049, 1050,
                                "1,0 von 1,1 kB"},  // a half goes up
                      AmountRow{3145728, 3145728, "3,1 von 3,1 MB"},
                      AmountRow{999949, 999999, "999,9 von 1000,0 kB"},
                      AmountRow{12345678901, 300000000000, "12,3 von 300,0 GB"},
                      AmountRow{1500000000000, 4000000000000, "1,5 von 4,0 TB"},
                      AmountRow{0, std::numeric_limits<std::uint64_t>::max(),
                                "0,0 von 18446744,1 TB"}));

struct TimeRow {
  std::uint64_t seconds;
  std::string expected;
};

class TimeLeftTest : public ::testing::TestWithParam<TimeRow> {};

TEST_P(TimeLeftTest, FiveThenTenSecondStepsThenMinutesThenHours) {
  EXPECT_EQ(time_left_text(GetParam().seconds), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TimeLeftTest,
    ::testing::Values(
        TimeRow{0, "noch etwa 5 s"}, TimeRow{40, "noch etwa 40 s"},
        TimeRow{41, "noch etwa 45 s"}, TimeRow{57, "noch etwa 60 s"},
        TimeRow{58, "noch etwa 1 min"}, TimeRow{89, "noch etwa 1 min 30 s"},
        TimeRow{114, "noch etwa 1 min 50 s"}, TimeRow{115, "noch etwa 2 min"},
        TimeRow{1500, "noch etwa 25 min"}, TimeRow{3569, "noch etwa 59 min"},
        TimeRow{3570, "noch etwa 1 h"}, TimeRow{7500, "noch etwa 2 h 5 min"}));

struct RunRow {
  std::string name;
  RunFigures figures;
  bool copying;  // a copy of R/Urlaub.mkv runs long: 24 % written, or read back
  bool reading_back;
  std::uint64_t width;
  std::string expected;
};

void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

class RunStatusTextTest : public ::testing::TestWithParam<RunRow> {};

TEST_P(RunStatusTextTest, FilePartGivesWayFirst) {
  const RunRow& row = GetParam();
  CopyStatus copy = row.reading_back
                        ? start_read_back_status("R/Urlaub.mkv", 400, true)
                        : start_copy_status("R/Urlaub.mkv", 400);
  copy.done = 96;
  EXPECT_EQ(
      run_status_text(row.figures, row.copying ? &copy : nullptr, row.width),
      row.expected);
}

const RunFigures kUnsized{3, 10, false, 0, 0, -1};
const RunFigures kNoBytes{5, 20, true, 0, 0, 40};
const RunFigures kSized{1234, 5678, true, 12345678901, 300000000000, -1};
const RunFigures kEstimated{1234, 5678, true, 12345678901, 300000000000, 1500};
const std::string kRun =
    "Abgleich: 1234 von 5678 Dateien, 12,3 von 300,0 GB (4 %), "
    "noch etwa 25 min";  // 74 characters

INSTANTIATE_TEST_SUITE_P(
    Rows, RunStatusTextTest,
    ::testing::Values(
        RunRow{"NotSizedYet", kUnsized, false, false, 100,
               "Abgleich: 3 von 10 Dateien"},
        RunRow{"NoEstimateYet", kSized, false, false, 100,
               "Abgleich: 1234 von 5678 Dateien, 12,3 von 300,0 GB (4 %)"},
        RunRow{"NoBytesShareOfFiles", kNoBytes, false, false, 100,
               "Abgleich: 5 von 20 Dateien, 0 von 0 Bytes (25 %), "
               "noch etwa 40 s"},
        RunRow{"Everything", kEstimated, true, false, 104,
               kRun + " – Kopiere R/Urlaub.mkv (24 %)"},
        RunRow{"ReadBack", kEstimated, true, true, 102,
               kRun + " – Prüfe R/Urlaub.mkv (24 %)"},
        RunRow{"PathGivesWay", kEstimated, true, false, 103,
               kRun + " – Kopiere ...laub.mkv (24 %)"},
        RunRow{"PathDownToOneCharacter", kEstimated, true, false, 96,
               kRun + " – Kopiere ...v (24 %)"},
        RunRow{"FilePartGoes", kEstimated, true, false, 95, kRun},
        RunRow{"BytesGiveWay", kEstimated, true, false, 60,
               "Abgleich: 1234 von 5678 Dateien (4 %), noch etwa 25 min"},
        RunRow{"WordGivesWay", kEstimated, true, false, 50,
               "1234 von 5678 Dateien (4 %), noch etwa 25 min"},
        RunRow{"CountsShortened", kEstimated, true, false, 40,
               "1234/5678 (4 %), noch etwa 25 min"},
        RunRow{"ShareAndTimeLeft", kEstimated, false, false, 27,
               "4 %, noch etwa 25 min"},
        RunRow{"TwentyColumns", kEstimated, true, false, 17,
               "4 %, noch 25 min"},
        RunRow{"TimeLeftBare", kEstimated, false, false, 12, "4 %, 25 min"},
        RunRow{"CutBelowThat", kEstimated, false, false, 6, "4 %, 2"},
        RunRow{"NoEstimateNarrow", kSized, false, false, 17, "1234/5678 (4 %)"},
        RunRow{"NotSizedNarrow", kUnsized, false, false, 17,
               "3 von 10 Dateien"}));

// Ten samples a second up to `seconds`, of steps and bytes done at each
// tenth as `at` tells.
template <typename At>
RateWindow sampled(double seconds, At at) {
  RateWindow window;
  for (int tick = 0; tick <= static_cast<int>(10 * seconds); ++tick) {
    add_rate_sample(window, tick / 10.0, at(tick / 10.0));
  }
  return window;
}

TEST(RateWindow, TimePerStepAndPerByteFittedApart) {
  // 10 steps a second, no bytes; then 1000 bytes a second from the 10th.
  auto both = [](double t) {
    return Work{10 * std::min(t, 10.0), 1000 * std::max(0.0, t - 10)};
  };
  EXPECT_EQ(estimate_seconds_left(sampled(2.9, both), {50, 0}), -1);
  EXPECT_EQ(estimate_seconds_left(sampled(3, both), {50, 0}), 5);
  EXPECT_EQ(estimate_seconds_left(sampled(18, both), {50, 3000}), 8);
  // Bytes alone: the steps left are not foretold.
  auto bytes = [](double t) { return Work{2, 1000 * t}; };
  EXPECT_EQ(estimate_seconds_left(sampled(60, bytes), {2, 90000}), 90);
  // Two hours of samples: about as many kept as in two minutes, the same
  // fit.
  EXPECT_EQ(estimate_seconds_left(sampled(7200, bytes), {2, 90000}), 90);
  EXPECT_LE(sampled(7200, bytes).samples.size(), 720U);
  // Steps and bytes together: each takes half of the time.
  auto together = [](double t) { return Work{10 * t, 1000 * t}; };
  EXPECT_EQ(estimate_seconds_left(sampled(30, together), {100, 10000}), 10);
  EXPECT_EQ(estimate_seconds_left(sampled(30, together), {100, 0}), 5);
  // The last half of the run counts: 10 bytes a second since the 20th.
  auto slower = [](double t) {
    return Work{0, t < 20 ? 1000 * t : 20000 + 10 * (t - 20)};
  };
  EXPECT_EQ(estimate_seconds_left(sampled(50, slower), {0, 300}), 30);
  EXPECT_LE(sampled(50, slower).samples.size(), 252U);
  auto stalled = [](double t) { return Work{0, 1000 * std::min(t, 10.0)}; };
  EXPECT_EQ(estimate_seconds_left(sampled(40, stalled), {0, 300}), -1);
}

}  // namespace
