// Tests of the column fitting, the path display and the listing.

#include "report.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "compare.h"
#include "path.h"

namespace {

// ---------------------------------------------------------------------------
// utf8_chars and utf8_byte_offset

struct LengthRow {
  std::string name;
  std::string text;
  std::uint64_t expected;
};

void PrintTo(const LengthRow& row, std::ostream* out) { *out << row.name; }

class Utf8LengthTest : public ::testing::TestWithParam<LengthRow> {};

TEST_P(Utf8LengthTest, CountsEveryByteThatIsNoContinuation) {
  EXPECT_EQ(utf8_chars(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8LengthTest,
    ::testing::Values(
        LengthRow{"Empty", "", 0}, LengthRow{"Ascii", "docs/report.txt", 15},
        LengthRow{"TwoByteCharacters", "Fotos/Urlaub/München_Straße.jpg", 31},
        LengthRow{"ThreeByteCharacter", "€uro", 4},
        LengthRow{"FourByteCharacters", "😀x😀", 3},
        LengthRow{"CombiningMark", "u\xCC\x88", 2},
        LengthRow{"StrayContinuationBytes",
                  "\x80\x80"
                  "abcdefg",
                  7},
        LengthRow{"LeadByteFollowedByAscii",
                  "\xF0"
                  "abcdefgh",
                  9},
        LengthRow{"LeadBytesCutShort", "\xC3\x41\xC3\x41\xC3\x41\xF0", 7},
        LengthRow{"LoneLeadByte", "\xC3", 1},
        LengthRow{"BytesF8ToFF", "\xF8\xFB\xFE\xFF", 4},
        LengthRow{"ControlBytes", std::string("a\0\t\n\x7f", 5), 5}),
    [](const auto& info) { return info.param.name; });

struct OffsetRow {
  std::string name;
  std::string text;
  std::uint64_t n;
  std::uint64_t expected;
};

void PrintTo(const OffsetRow& row, std::ostream* out) { *out << row.name; }

class Utf8ByteOffsetTest : public ::testing::TestWithParam<OffsetRow> {};

TEST_P(Utf8ByteOffsetTest, WalksLeadBytes) {
  const OffsetRow& row = GetParam();
  EXPECT_EQ(utf8_byte_offset(row.text, row.n), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8ByteOffsetTest,
    ::testing::Values(
        OffsetRow{"EmptyNoSteps", "", 0, 0},
        OffsetRow{"EmptyManySteps", "", 3, 0},
        OffsetRow{"AsciiNoSteps", "abc", 0, 0},
        OffsetRow{"AsciiTwoSteps", "abc", 2, 2},
        OffsetRow{"AsciiToTheEnd", "abc", 3, 3},
        OffsetRow{"AsciiPastTheEnd", "abc", 10, 3},
        OffsetRow{"TwoByteCharacter", "Müller", 2, 3},
        OffsetRow{"ThreeByteCharacter", "€uro", 1, 3},
        OffsetRow{"FourByteCharacter", "😀x", 1, 4},
        OffsetRow{"UpToAnUmlaut", "Fotos/Urlaub/München_Straße.jpg", 14, 14},
        OffsetRow{"PastAnUmlaut", "Fotos/Urlaub/München_Straße.jpg", 15, 16},
        OffsetRow{"StrayContinuationBytes",
                  "\x80\x80"
                  "abcdefg",
                  5, 5},
        OffsetRow{"LeadByteSwallowsAscii",
                  "\xF0"
                  "abcdefgh",
                  7, 9},
        OffsetRow{"LeadByteSwallowsOnce",
                  "\xF0"
                  "abcdefgh",
                  1, 4},
        OffsetRow{"LeadBytesBeforeTheEnd", "\xC3\x41\xC3\x41\xC3\x41\xF0", 3,
                  6},
        OffsetRow{"LeadByteClaimsTooMuch", "\xC3\x41\xC3\x41\xC3\x41\xF0", 5,
                  7},
        OffsetRow{"TruncatedAtTheEnd", "a\xE2\x82", 2, 3},
        OffsetRow{"ByteF8IsOneByte",
                  "\xF8"
                  "ab",
                  1, 1},
        OffsetRow{"ByteFFIsOneByte",
                  "\xFF"
                  "ab",
                  2, 2}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// format_left and format_right

struct FitRow {
  std::string name;
  std::string text;
  std::uint64_t width;
  std::string left;   // what format_left gives
  std::string right;  // what format_right gives
};

void PrintTo(const FitRow& row, std::ostream* out) { *out << row.name; }

const std::vector<FitRow> kFitRows = {
    {"ShortPath", "docs/report.txt", 20, "     docs/report.txt",
     "docs/report.txt"},
    {"LongPath", "photos/sommer/urlaub/strand.jpg", 20, "...urlaub/strand.jpg",
     "...urlaub/strand.jpg"},
    {"LongPathWithUmlauts", "Fotos/Urlaub/München_Straße.jpg", 20,
     "...ünchen_Straße.jpg", "...ünchen_Straße.jpg"},
    {"MarkerWidth20", "--- fehlt ---", 20, "       --- fehlt ---",
     "--- fehlt ---"},
    {"MarkerWidth13", "--- fehlt ---", 13, "--- fehlt ---", "--- fehlt ---"},
    {"MarkerWidth12", "--- fehlt ---", 12, "...fehlt ---", "...fehlt ---"},
    {"MarkerWidth5", "--- fehlt ---", 5, "...--", "...--"},
    {"OneTooLong", "abcdefg", 6, "...efg", "...efg"},
    {"ExactWidth", "abcdef", 6, "abcdef", "abcdef"},
    {"EmptyText", "", 5, "     ", ""},
    {"WidthPlusOneLosesFourCharacters", "abcdefghijk", 10, "...efghijk",
     "...efghijk"},
    {"FitsWithUmlauts", "München", 9, "  München", "München"},
    {"ExactWidthWithUmlauts", "äöüäö", 5, "äöüäö", "äöüäö"},
    {"CutBetweenUmlauts", "äöüäöü", 5, "...öü", "...öü"},
    {"FourByteCharacters", "😀😁😂😃😄😅", 5, "...😄😅", "...😄😅"},
    {"WidestColumn", "a", 300, std::string(299, ' ') + "a", "a"},
    {"StrayContinuationBytesComeOutLonger",
     "\x80\x80"
     "abcdefg",
     5, "...defg", "...defg"},
    {"LeadByteSwallowingAsciiComesOutShorter",
     "\xF0"
     "abcdefgh",
     5, "...", "..."},
    {"LeadByteClaimingTooMuchComesOutShorter", "\xC3\x41\xC3\x41\xC3\x41\xF0",
     5, "...", "..."},
};

class FormatLeftTest : public ::testing::TestWithParam<FitRow> {};

TEST_P(FormatLeftTest, FitsTheLeftColumn) {
  const FitRow& row = GetParam();
  EXPECT_EQ(format_left(row.text, row.width), row.left);
}

INSTANTIATE_TEST_SUITE_P(Texts, FormatLeftTest, ::testing::ValuesIn(kFitRows),
                         [](const auto& info) { return info.param.name; });

class FormatRightTest : public ::testing::TestWithParam<FitRow> {};

TEST_P(FormatRightTest, FitsTheRightColumn) {
  const FitRow& row = GetParam();
  EXPECT_EQ(format_right(row.text, row.width), row.right);
}

INSTANTIATE_TEST_SUITE_P(Texts, FormatRightTest, ::testing::ValuesIn(kFitRows),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// shown_path and quoted_path: controls become "?" only on a terminal

struct PathRow {
  std::string name;
  std::string path;
  std::string elsewhere;    // the result when the stream is no terminal
  std::string on_terminal;  // the result when it is one
};

void PrintTo(const PathRow& row, std::ostream* out) { *out << row.name; }

const std::vector<PathRow> kShownRows = {
    {"Plain", "a/b.txt", "a/b.txt", "a/b.txt"},
    {"Tab", "a\tb", "a\tb", "a?b"},
    {"Newline", "line\nbreak", "line\nbreak", "line?break"},
    {"EscapeSequence", "\x1b[31mred", "\x1b[31mred", "?[31mred"},
    {"NulByte", std::string("a\0b", 3), std::string("a\0b", 3), "a?b"},
    {"UnitSeparatorAndSpace", "\x1f \x7e", "\x1f \x7e", "? \x7e"},
    {"Delete", "x\x7fy", "x\x7fy", "x?y"},
    {"Umlauts", "München/Straße", "München/Straße", "München/Straße"},
    {"HighBytes", "\x80\x9b\xff", "\x80\x9b\xff", "\x80\x9b\xff"},
    {"FirstC1Control", "a\u0080b", "a\u0080b", "a?b"},
    {"C1EscapeSequence", "\u009b31mred", "\u009b31mred", "?31mred"},
    {"LastC1Control", "x\u009f", "x\u009f", "x?"},
    {"C0AndC1Controls", "\x1b\u009b", "\x1b\u009b", "??"},
    {"NoBreakSpace", "a\u00a0b", "a\u00a0b", "a\u00a0b"},
    {"AUmlaut", "\u00c4rger", "\u00c4rger", "\u00c4rger"},
    {"LoneC2AtTheEnd", "ab\xc2", "ab\xc2", "ab\xc2"},
    {"LoneC2BeforeC1Control", "\xc2\u0085", "\xc2\u0085", "\xc2?"},
};

const std::vector<PathRow> kQuotedRows = {
    {"Plain", "a/b.txt", "\"a/b.txt\"", "\"a/b.txt\""},
    {"Empty", "", "\"\"", "\"\""},
    {"DoubleQuotes", "say \"hi\"", "\"say \\\"hi\\\"\"", "\"say \\\"hi\\\"\""},
    {"Backslashes", "back\\slash\\", "\"back\\\\slash\\\\\"",
     "\"back\\\\slash\\\\\""},
    {"SingleQuote", "it's", "\"it's\"", "\"it's\""},
    {"Tab", "a\tb", "\"a\tb\"", "\"a?b\""},
    {"EscapeAndQuote", "\x1b\"", "\"\x1b\\\"\"", "\"?\\\"\""},
    {"C1ControlAndQuote", "\u009b\"", "\"\u009b\\\"\"", "\"?\\\"\""},
};

// The expected result for descriptor `fd` of this process, which is a
// terminal only where the tests run on one.
const std::string& expected_for(const PathRow& row, int fd) {
  return isatty(fd) == 1 ? row.on_terminal : row.elsewhere;
}

class ShownPathTest : public ::testing::TestWithParam<PathRow> {};

TEST_P(ShownPathTest, Elsewhere) {
  EXPECT_EQ(shown_path_on(GetParam().path, false), GetParam().elsewhere);
}

TEST_P(ShownPathTest, OnATerminal) {
  EXPECT_EQ(shown_path_on(GetParam().path, true), GetParam().on_terminal);
}

TEST_P(ShownPathTest, OnATerminalKeepsTheWidth) {
  EXPECT_EQ(utf8_chars(shown_path_on(GetParam().path, true)),
            utf8_chars(GetParam().path));
}

TEST_P(ShownPathTest, OnStandardOutput) {
  EXPECT_EQ(shown_path(GetParam().path, 1), expected_for(GetParam(), 1));
}

TEST_P(ShownPathTest, OnStandardError) {
  EXPECT_EQ(shown_path(GetParam().path, 2), expected_for(GetParam(), 2));
}

INSTANTIATE_TEST_SUITE_P(Paths, ShownPathTest, ::testing::ValuesIn(kShownRows),
                         [](const auto& info) { return info.param.name; });

class QuotedPathTest : public ::testing::TestWithParam<PathRow> {};

TEST_P(QuotedPathTest, Elsewhere) {
  EXPECT_EQ(quoted_path_on(GetParam().path, false), GetParam().elsewhere);
}

TEST_P(QuotedPathTest, OnATerminal) {
  EXPECT_EQ(quoted_path_on(GetParam().path, true), GetParam().on_terminal);
}

TEST_P(QuotedPathTest, OnStandardOutput) {
  EXPECT_EQ(quoted_path(GetParam().path, 1), expected_for(GetParam(), 1));
}

TEST_P(QuotedPathTest, OnStandardError) {
  EXPECT_EQ(quoted_path(GetParam().path, 2), expected_for(GetParam(), 2));
}

INSTANTIATE_TEST_SUITE_P(Paths, QuotedPathTest,
                         ::testing::ValuesIn(kQuotedRows),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// print_results

// Everything print_results writes to std::cout.
std::string printed(const CompareResult& result, std::uint64_t width) {
  std::ostringstream out;
  struct Restore {
    std::streambuf* saved;
    ~Restore() { std::cout.rdbuf(saved); }
  } restore{std::cout.rdbuf(out.rdbuf())};
  print_results(result, width);
  return out.str();
}

struct PrintRow {
  std::string name;
  CompareResult result;
  std::uint64_t width;
  std::string expected;
};

void PrintTo(const PrintRow& row, std::ostream* out) { *out << row.name; }

class PrintResultsTest : public ::testing::TestWithParam<PrintRow> {};

TEST_P(PrintResultsTest, ListingAndSummary) {
  const PrintRow& row = GetParam();
  EXPECT_EQ(printed(row.result, row.width), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Results, PrintResultsTest,
    ::testing::Values(
        PrintRow{"FourKindsWidth20",
                 {{{"docs/report.txt", LeftNewer},
                   {"photos/sommer/urlaub/strand.jpg", RightNewer},
                   {"alt/notizen.txt", MissingRight},
                   {"neu.txt", MissingLeft}},
                  13,
                  13,
                  10,
                  2,
                  1,
                  1},
                 20,
                 "\n"
                 "     docs/report.txt  ->  docs/report.txt\n"
                 "...urlaub/strand.jpg  <-  ...urlaub/strand.jpg\n"
                 "     alt/notizen.txt  -  --- fehlt ---\n"
                 "       --- fehlt ---  -  neu.txt\n"
                 "\n"
                 "Zusammenfassung für 26 Dateien:\n"
                 "10 Dateien sind gleich, 2 Dateien sind unterschiedlich und "
                 "2 Dateien fehlen.\n"},
        PrintRow{"IdenticalTrees",
                 {{}, 3, 3, 3, 0, 0, 0},
                 20,
                 "\n"
                 "Zusammenfassung für 6 Dateien:\n"
                 "3 Dateien sind gleich, 0 Dateien sind unterschiedlich und "
                 "0 Dateien fehlen.\n"},
        PrintRow{"TwoEmptyTrees",
                 {{}, 0, 0, 0, 0, 0, 0},
                 47,
                 "\n"
                 "Zusammenfassung für 0 Dateien:\n"
                 "0 Dateien sind gleich, 0 Dateien sind unterschiedlich und "
                 "0 Dateien fehlen.\n"},
        PrintRow{"SingleFileOnTheLeft",
                 {{{"a.txt", MissingRight}}, 1, 0, 0, 0, 0, 1},
                 20,
                 "\n"
                 "               a.txt  -  --- fehlt ---\n"
                 "\n"
                 "Zusammenfassung für 1 Dateien:\n"
                 "0 Dateien sind gleich, 0 Dateien sind unterschiedlich und "
                 "1 Dateien fehlen.\n"},
        PrintRow{"SingleFileOnTheRight",
                 {{{"a.txt", MissingLeft}}, 0, 1, 0, 0, 1, 0},
                 17,
                 "\n"
                 "    --- fehlt ---  -  a.txt\n"
                 "\n"
                 "Zusammenfassung für 1 Dateien:\n"
                 "0 Dateien sind gleich, 0 Dateien sind unterschiedlich und "
                 "1 Dateien fehlen.\n"},
        PrintRow{
            "Width5",
            {{{"abcdef", LeftNewer}, {"y", MissingRight}, {"x", MissingLeft}},
             2,
             2,
             0,
             1,
             1,
             1},
            5,
            "\n"
            "...ef  ->  ...ef\n"
            "    y  -  ...--\n"
            "...--  -  x\n"
            "\n"
            "Zusammenfassung für 4 Dateien:\n"
            "0 Dateien sind gleich, 1 Dateien sind unterschiedlich und "
            "2 Dateien fehlen.\n"},
        PrintRow{"Width12",
                 {{{"a", MissingRight}, {"b", MissingLeft}}, 1, 1, 0, 0, 1, 1},
                 12,
                 "\n"
                 "           a  -  ...fehlt ---\n"
                 "...fehlt ---  -  b\n"
                 "\n"
                 "Zusammenfassung für 2 Dateien:\n"
                 "0 Dateien sind gleich, 0 Dateien sind unterschiedlich und "
                 "2 Dateien fehlen.\n"},
        PrintRow{"Width13",
                 {{{"a", MissingRight}, {"b", MissingLeft}}, 1, 1, 0, 0, 1, 1},
                 13,
                 "\n"
                 "            a  -  --- fehlt ---\n"
                 "--- fehlt ---  -  b\n"
                 "\n"
                 "Zusammenfassung für 2 Dateien:\n"
                 "0 Dateien sind gleich, 0 Dateien sind unterschiedlich und "
                 "2 Dateien fehlen.\n"},
        PrintRow{"EntriesInTheirOwnOrder",
                 {{{"z.txt", RightNewer},
                   {"a.txt", LeftNewer},
                   {"m.txt", MissingRight},
                   {"b.txt", MissingLeft},
                   {"a/b.txt", MissingLeft}},
                  3,
                  4,
                  0,
                  2,
                  2,
                  1},
                 8,
                 "\n"
                 "   z.txt  <-  z.txt\n"
                 "   a.txt  ->  a.txt\n"
                 "   m.txt  -  ...t ---\n"
                 "...t ---  -  b.txt\n"
                 "...t ---  -  a/b.txt\n"
                 "\n"
                 "Zusammenfassung für 7 Dateien:\n"
                 "0 Dateien sind gleich, 2 Dateien sind unterschiedlich und "
                 "3 Dateien fehlen.\n"},
        PrintRow{"UmlautsCountAsOneCharacter",
                 {{{"München/Straße.txt", LeftNewer}}, 1, 1, 0, 1, 0, 0},
                 20,
                 "\n"
                 "  München/Straße.txt  ->  München/Straße.txt\n"
                 "\n"
                 "Zusammenfassung für 2 Dateien:\n"
                 "0 Dateien sind gleich, 1 Dateien sind unterschiedlich und "
                 "0 Dateien fehlen.\n"},
        PrintRow{"LargeCounts",
                 {{}, 5000000000, 5000001234, 4999999000, 500, 1734, 500},
                 47,
                 "\n"
                 "Zusammenfassung für 10000001234 Dateien:\n"
                 "4999999000 Dateien sind gleich, 500 Dateien sind "
                 "unterschiedlich und 2234 Dateien fehlen.\n"}),
    [](const auto& info) { return info.param.name; });

// A control byte in a path shows as "?" on a terminal and goes out raw
// elsewhere; either way it counts as one character of the column.
TEST(PrintResults, ControlBytesInAPath) {
  CompareResult result{{{"a\tb", LeftNewer}}, 1, 1, 0, 1, 0, 0};
  std::string path = isatty(1) == 1 ? "a?b" : "a\tb";
  EXPECT_EQ(printed(result, 5),
            "\n  " + path + "  ->  " + path +
                "\n\nZusammenfassung für 2 Dateien:\n"
                "0 Dateien sind gleich, 1 Dateien sind unterschiedlich und "
                "0 Dateien fehlen.\n");
}

}  // namespace
