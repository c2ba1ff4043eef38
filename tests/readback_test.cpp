// Tests of reading a copy back and comparing it with its source: equal
// files, damaged and cut copies, and holes, which read as zeros.

#include "readback.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <string>

#include "test_util.h"

namespace {

// Longer than one step of the comparison, so that rows reach the second.
constexpr std::size_t kLong = 700 * 1024;

// `n` bytes of a pattern without long runs of one value.
std::string pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  return bytes;
}

// `bytes` with the byte at `at` inverted.
std::string flipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(~bytes[at]);
  return bytes;
}

// One file of a row: `hole` bytes never written, then `data`, then `tail`
// bytes never written.
struct Content {
  off_t hole = 0;
  std::string data;
  off_t tail = 0;
};

// The length of a file of `content`.
off_t length(const Content& content) {
  return content.hole + static_cast<off_t>(content.data.size()) + content.tail;
}

struct ReadBackRow {
  std::string name;
  Content source;
  Content copy;  // as the drive holds it
  int expected;
};

void PrintTo(const ReadBackRow& row, std::ostream* out) { *out << row.name; }

// Writes `content` into the new file `path`; its descriptor, open for
// reading and writing.
int write_content(const std::string& path, const Content& content) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (pwrite(fd, content.data.data(), content.data.size(), content.hole) !=
          static_cast<ssize_t>(content.data.size()) ||
      ftruncate(fd, length(content)) != 0 ||
      fsync(fd) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class ReadBackTest : public ::testing::TestWithParam<ReadBackRow> {};

TEST_P(ReadBackTest, ComparesWhatTheDriveReturns) {
  const ReadBackRow& row = GetParam();
  TempDir dir;
  int source = write_content(dir.path + "/source", row.source);
  int copy = write_content(dir.path + "/copy", row.copy);
  ASSERT_GE(source, 0);
  ASSERT_GE(copy, 0);
  EXPECT_EQ(read_back(copy, source, length(row.source), nullptr),
            row.expected);
  close(source);
  close(copy);
}

const std::string kData = pattern(kLong);

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadBackTest,
    ::testing::Values(
        ReadBackRow{"Equal", {0, kData}, {0, kData}, 0},
        ReadBackRow{"Empty", {0, ""}, {0, ""}, 0},
        ReadBackRow{"FirstByteFlipped", {0, kData}, {0, flipped(kData, 0)}, 1},
        ReadBackRow{"ByteFlippedInTheSecondStep",
                    {0, kData},
                    {0, flipped(kData, 300 * 1024 + 5)},
                    1},
        ReadBackRow{"LastByteFlipped",
                    {0, kData},
                    {0, flipped(kData, kLong - 1)},
                    1},
        ReadBackRow{"Shorter", {0, kData}, {0, kData.substr(1)}, 1},
        ReadBackRow{"Longer", {0, kData}, {0, kData + "x"}, 1},
        ReadBackRow{"HoleAgainstZeros",
                    {kLong, "end"},
                    {0, std::string(kLong, '\0') + "end"},
                    0},
        ReadBackRow{"ZerosAgainstHole",
                    {0, std::string(kLong, '\0') + "end"},
                    {kLong, "end"},
                    0},
        ReadBackRow{"HoleAgainstHole", {kLong, "end"}, {kLong, "end"}, 0},
        ReadBackRow{"HoleAgainstData",
                    {kLong, "end"},
                    {0, flipped(std::string(kLong, '\0'), 4096) + "end"},
                    1},
        ReadBackRow{"TrailingHoleAgainstZeros",
                    {0, kData, kLong},
                    {0, kData + std::string(kLong, '\0')},
                    0},
        ReadBackRow{"TrailingHoleAgainstData",
                    {0, kData, kLong},
                    {0, kData + flipped(std::string(kLong, '\0'), kLong - 1)},
                    1}),
    [](const auto& info) { return info.param.name; });

TEST(ReadBack, ReportsTheBytesComparedUpToTheSize) {
  TempDir dir;
  int source = write_content(dir.path + "/source", {0, kData});
  int copy = write_content(dir.path + "/copy", {0, kData});
  std::uint64_t last = 0;
  read_back(copy, source, kLong, [&last](std::uint64_t done) { last = done; });
  EXPECT_EQ(last, kLong);
  close(source);
  close(copy);
}

TEST(ReadBack, FailsWithTheErrorOfARead) {
  TempDir dir;
  int source = write_content(dir.path + "/source", {0, kData});
  close(write_content(dir.path + "/copy", {0, kData}));
  int copy = open((dir.path + "/copy").c_str(), O_WRONLY | O_CLOEXEC);
  errno = 0;
  int result = read_back(copy, source, kLong, nullptr);
  EXPECT_EQ(std::make_pair(result, errno), std::make_pair(-1, EBADF));
  close(source);
  close(copy);
}

}  // namespace
