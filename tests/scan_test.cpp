// Property test of the scan: on random trees, the scan with its workers and
// both trees at once gives the table, the order and the failure of a plain
// sequential walk.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "scan.h"
#include "path.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// The reference: a walk that reads one entry at a time and follows paths.

// Directories by their paths below the root, and their identities.
using DirList = std::vector<std::pair<std::string, DirId>>;

struct Reference {
  std::string root;
  fs::path resolved_root;
  FileTimeMap files;
  DirList dirs;  // each directory walked
  std::string failure;
  std::string current;  // the path of the entry reported last
};

void denied(Reference& ref, int error) {
  ref.failure = "FEHLER: Zugriff verweigert bei " +
                quoted_path(ref.current, 2) + " (" + std::strerror(error) +
                ")\n\n";
}

void reference_link(Reference& ref, const struct stat& st) {
  std::error_code error;
  if (ref.resolved_root.empty()) {
    ref.resolved_root = fs::weakly_canonical(ref.root, error);
    if (error) return denied(ref, error.value());
  }
  fs::path target = fs::weakly_canonical(ref.current, error);
  if (error) return denied(ref, error.value());
  fs::path key = target.lexically_relative(ref.resolved_root);
  if (key.empty() || *key.begin() == "..") return;
  ref.files.insert_or_assign(std::pmr::string(key.native()), st.st_mtim.tv_sec);
}

void reference_dir(Reference& ref, const std::string& dir,
                   const std::string& rel);

// The type of an entry: the listing's, else its own, links not followed;
// 0 when it cannot be learnt (the failure is then recorded).
mode_t reference_type(Reference& ref, unsigned char listed) {
  if (listed == DT_DIR) return S_IFDIR;
  if (listed == DT_REG) return S_IFREG;
  if (listed != DT_UNKNOWN && listed != DT_LNK) return S_IFIFO;
  struct stat lst;
  if (lstat(ref.current.c_str(), &lst) == 0) return lst.st_mode & S_IFMT;
  if (errno != ENOENT) denied(ref, errno);
  return 0;
}

// One entry, by its type with links followed.
void reference_entry(Reference& ref, const std::string& name,
                     unsigned char listed, const std::string& rel) {
  mode_t type = reference_type(ref, listed);
  struct stat st;
  bool followed = stat(ref.current.c_str(), &st) == 0;
  int error = errno;
  if (type == S_IFDIR) {
    if (!is_excluded_name(name)) reference_dir(ref, ref.current, rel);
  } else if (type == S_IFREG) {
    if (is_temp_file_name(name.c_str())) return;
    if (!followed) return denied(ref, error);
    ref.files.insert_or_assign(std::pmr::string(rel), st.st_mtim.tv_sec);
  } else if (type == S_IFLNK) {
    if (!followed && error != ENOENT && error != ENOTDIR && error != ELOOP) {
      return denied(ref, error);
    }
    if (followed && S_ISREG(st.st_mode)) reference_link(ref, st);
  }
}

void reference_dir(Reference& ref, const std::string& dir,
                   const std::string& rel) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) {
    if (rel.empty()) {
      ref.failure = "FEHLER beim Durchsuchen des Verzeichnisses: '" +
                    shown_path(ref.root, 2) + "' (" + std::strerror(errno) +
                    ")\n\n";
    } else {
      denied(ref, errno);
    }
    return;
  }
  struct stat st;
  if (fstat(dirfd(handle), &st) == 0) {
    ref.dirs.emplace_back(rel, DirId{st.st_dev, st.st_ino});
  }
  while (ref.failure.empty()) {
    errno = 0;
    dirent* entry = readdir(handle);
    if (entry == nullptr) break;
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    std::string child = rel.empty() ? entry->d_name : rel + "/" + entry->d_name;
    ref.current = full_path(ref.root, child);
    reference_entry(ref, entry->d_name, entry->d_type, child);
  }
  closedir(handle);
}

// The reference's outcome; its directories with their paths in `dirs`,
// if given.
ScanResult reference_scan(const std::string& root, DirList* dirs = nullptr) {
  Reference ref;
  ref.root = root;
  reference_dir(ref, root, "");
  if (dirs != nullptr) *dirs = ref.dirs;
  if (!ref.failure.empty()) return {nullptr, {}, ref.failure, {}, {}};
  return {nullptr, std::move(ref.files), {}, {}, {}};
}

// ---------------------------------------------------------------------------
// Random trees

struct TreeMaker {
  std::mt19937 random;
  std::string base;                // holds the tree "t" and "outside"
  std::vector<std::string> files;  // made so far, absolute
  std::vector<std::string> dirs;

  int pick(int n) {
    return std::uniform_int_distribution<int>(0, n - 1)(random);
  }

  std::string name() {
    static const char* const kNames[] = {
        "a",           "b.txt",    "Foto 1.jpg",       "q\"uote",
        "back\\slash", "Recovery", "lost+found",       "recovery",
        ".dot",        "ü.txt",    ".kalvern-7-0.tmp", "x",
        "y",           "z",        "long-name-"};
    std::string n = kNames[pick(15)];
    return n + std::to_string(pick(1000));
  }

  void fill(const std::string& dir, int depth) {
    make_dir(dir);
    dirs.push_back(dir);
    // Now and then a large directory, whose times are read in inode order.
    int entries = depth == 1 && pick(20) == 0 ? 260 : pick(7);
    for (int i = 0; i < entries; ++i) {
      std::string path = dir + "/" + (pick(8) == 0 ? "Recovery" : name());
      if (fs::exists(fs::symlink_status(path))) continue;
      int kind = pick(10);
      if (kind < 5 || depth >= 4) {
        make_file(path, 1000000 + pick(50), pick(1000000000));
        files.push_back(path);
      } else if (kind < 8) {
        fill(path, depth + 1);
      } else if (kind == 8) {
        make_fifo(path);
      } else {
        make_file(path, -pick(3));
        files.push_back(path);
      }
    }
  }

  // Links of every kind at random places, then a few closed directories.
  void finish() {
    for (std::size_t i = 0, n = dirs.size(); i < n; ++i) {
      std::string at =
          dirs[pick(static_cast<int>(dirs.size()))] + "/l" + std::to_string(i);
      switch (pick(6)) {
        case 0:
          if (!files.empty())
            make_link(files[pick(static_cast<int>(files.size()))], at);
          break;
        case 1:
          make_link(base + "/outside/o.txt", at);
          break;
        case 2:
          make_link("nowhere", at);
          break;
        case 3:
          make_link(fs::path(at).filename().string(), at);
          break;
        case 4:
          make_link(dirs[pick(static_cast<int>(dirs.size()))], at);
          break;
        default:
          make_link("../" + fs::path(at).parent_path().filename().string(), at);
      }
    }
    for (std::size_t i = 1; i < dirs.size(); ++i) {
      int roll = pick(40);
      if (roll == 0) chmod(dirs[i].c_str(), 0);     // cannot be read
      if (roll == 1) chmod(dirs[i].c_str(), 0644);  // cannot be searched
    }
  }
};

// Runs `check` as the unprivileged user where the process is root, so that
// closed directories stay closed; gives what `check` reported.
std::string as_nobody(const std::function<std::string()>& check) {
  if (geteuid() != 0) return check();
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    std::string report = check();
    if (write(fds[1], report.data(), report.size()) < 0) _exit(4);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += "child failed";
  return report;
}

using Pairs = std::vector<std::pair<std::pmr::string, std::int64_t>>;

// What differs between a scan and the reference, or "" if nothing does.
std::string difference(const std::string& label, const ScanResult& scanned,
                       const ScanResult& expected,
                       const DirList* expected_dirs = nullptr) {
  if (scanned.failure != expected.failure) {
    return label + ": failure \"" + scanned.failure + "\" instead of \"" +
           expected.failure + "\"\n";
  }
  if (Pairs(scanned.files.begin(), scanned.files.end()) !=
      Pairs(expected.files.begin(), expected.files.end())) {
    return label + ": table or order differs\n";
  }
  // Each directory walked, by its path and identity.
  if (expected_dirs == nullptr || !expected.failure.empty()) return "";
  bool same_dirs = scanned.dirs.entries.size() == expected_dirs->size();
  for (const auto& [path, want] : *expected_dirs) {
    DirId id;
    same_dirs = same_dirs && find_seen_dir(scanned.dirs, path, id) &&
                id.device == want.device && id.inode == want.inode;
  }
  if (!same_dirs) return label + ": directories differ\n";
  return "";
}

// 120 seeded pairs of trees, in four parts that may run at once.
class ScanProperty : public ::testing::TestWithParam<int> {};

TEST_P(ScanProperty,
       ConcurrentScanGivesTheSequentialWalksTableOrderAndFailure) {
  TempDir tmp;
  chmod(tmp.path.c_str(), 0755);
  make_file(tmp.path + "/outside/o.txt", 5);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int seed = GetParam() * 30 + 1; seed <= GetParam() * 30 + 30; ++seed) {
    std::string base = tmp.path + "/" + std::to_string(seed);
    TreeMaker left{std::mt19937(seed), tmp.path, {}, {}};
    TreeMaker right{std::mt19937(seed + 1000), tmp.path, {}, {}};
    left.fill(base + "/L", 0);
    right.fill(base + "/R", 0);
    left.finish();
    right.finish();
    pairs.emplace_back(base + "/L", base + "/R");
  }
  std::string report = as_nobody([&] {
    std::string found;
    int failing = 0;
    for (const auto& [l, r] : pairs) {
      DirList left_dirs, right_dirs;
      ScanResult expected_left = reference_scan(l, &left_dirs);
      ScanResult expected_right = reference_scan(r, &right_dirs);
      failing += !expected_left.failure.empty();
      found += difference(l, scan_directory(l), expected_left, &left_dirs);
      TreeScans both = scan_trees(l, r);
      found += difference(l + " beside " + r, both.left, expected_left,
                          &left_dirs);
      if (expected_left.failure.empty()) {
        found += difference(r + " beside " + l, both.right, expected_right,
                            &right_dirs);
      }
    }
    // The trees must hold both outcomes, or the property says little.
    if (failing == 0 || failing == static_cast<int>(pairs.size())) {
      found += "failing trees: " + std::to_string(failing) + "\n";
    }
    return found;
  });
  EXPECT_EQ(report, "");
}

INSTANTIATE_TEST_SUITE_P(Seeds, ScanProperty, ::testing::Range(0, 4));

// The threads of this process just now.
int threads_now() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return 0;
}

// Where the walks fill every core, the workers start only once a merge is
// seen waiting, in the middle of its walk.  Pinned to one processor beside
// three busy threads, both merges wait most of the time: the workers must
// start, and the outcome stay that of the plain walk.
TEST(ScanWorkers, StartedMidWalkKeepTheOutcome) {
  TempDir tmp("/dev/shm");  // quick to fill, where there is one
  for (int d = 0; d < 4000; ++d) {
    std::string dir = std::to_string(d % 40) + "/" + std::to_string(d);
    for (int f = 0; f < 3; ++f) {
      // Empty, so that even a small /dev/shm holds them.
      std::string name = "/" + dir + "/" + std::to_string(f);
      make_file(tmp.path + "/L" + name, d + f, 0, "");
      make_file(tmp.path + "/R" + name, d, 0, "");
    }
  }
  ScanResult expected_left = reference_scan(tmp.path + "/L");
  ScanResult expected_right = reference_scan(tmp.path + "/R");
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> most{0};
  auto busy = [&] {
    while (!stop) most = std::max(most.load(), threads_now());
  };
  std::thread first(busy), second(busy), third(busy);
  TreeScans both = scan_trees(tmp.path + "/L", tmp.path + "/R");
  stop = true;
  first.join();
  second.join();
  third.join();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(difference("L", both.left, expected_left), "");
  EXPECT_EQ(difference("R", both.right, expected_right), "");
  // This thread, the right tree's scan and the three busy ones, and workers.
  EXPECT_GT(most.load(), 5);
}

// ---------------------------------------------------------------------------
// The scanned table keeps the order of a plain table

struct KeySetRow {
  std::string name;
  std::size_t count;
  std::size_t min_length;  // keys of min_length to max_length bytes
  std::size_t max_length;
  int repeat_every;  // every so many keys, an earlier one comes again
};

void PrintTo(const KeySetRow& row, std::ostream* out) { *out << row.name; }

class TableOrderTest : public ::testing::TestWithParam<KeySetRow> {};

TEST_P(TableOrderTest, IteratesLikeAPlainTableFilledAlike) {
  const KeySetRow& row = GetParam();
  std::mt19937 random(7);
  auto length = std::uniform_int_distribution<std::size_t>(row.min_length,
                                                           row.max_length);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < row.count; ++i) {
    if (row.repeat_every != 0 && i % row.repeat_every == 0 && i != 0) {
      keys.push_back(keys[random() % keys.size()]);
      continue;
    }
    std::string key = std::to_string(i) + "/";
    key.resize(std::max(key.size(), length(random)), 'a' + i % 26);
    keys.push_back(key);
  }
  TableStorage storage = new_table_storage();
  FileTimeMap table{FileTimeMap::allocator_type(storage.get())};
  std::unordered_map<std::string, std::int64_t> plain;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    record_time(table, keys[i], static_cast<std::int64_t>(i));
    plain.insert_or_assign(keys[i], static_cast<std::int64_t>(i));
  }
  ASSERT_EQ(table.size(), plain.size());
  auto it = table.begin();
  std::size_t differing = 0;
  for (const auto& [key, seconds] : plain) {
    if (std::string_view(it->first) != key || it->second != seconds)
      ++differing;
    ++it;
  }
  EXPECT_EQ(differing, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    KeySets, TableOrderTest,
    ::testing::Values(KeySetRow{"ShortKeys", 150000, 1, 15, 0},
                      KeySetRow{"LongKeys", 120000, 16, 300, 0},
                      KeySetRow{"MixedWithRepeats", 200000, 1, 200, 17}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Scan failures

struct FailureRow {
  std::string name;
  void (*build)(const std::string& base);
  std::string root;  // `@` stands for the base
  std::string system_message;
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

class ScanFailureTest : public ::testing::TestWithParam<FailureRow> {};

TEST_P(ScanFailureTest, RootThatCannotBeOpened) {
  const FailureRow& row = GetParam();
  TempDir base;
  row.build(base.path);
  std::string root = with_base(row.root, base.path);
  ScanResult scanned = scan_directory(root);
  EXPECT_EQ(scanned.failure, "FEHLER beim Durchsuchen des Verzeichnisses: '" +
                                 root + "' (" + row.system_message + ")\n\n");
  EXPECT_TRUE(scanned.files.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Roots, ScanFailureTest,
    ::testing::Values(
        FailureRow{"Missing", [](const std::string&) {}, "@/missing",
                   "No such file or directory"},
        FailureRow{"MissingWithQuoteInName", [](const std::string&) {},
                   "@/it's \"gone\"", "No such file or directory"},
        FailureRow{"Empty", [](const std::string&) {}, "",
                   "No such file or directory"},
        FailureRow{"RegularFile",
                   [](const std::string& b) { make_file(b + "/file", 1); },
                   "@/file", "Not a directory"},
        FailureRow{"BelowARegularFile",
                   [](const std::string& b) { make_file(b + "/file", 1); },
                   "@/file/sub", "Not a directory"},
        FailureRow{"LinkToARegularFile",
                   [](const std::string& b) {
                     make_file(b + "/file", 1);
                     make_link("file", b + "/link");
                   },
                   "@/link", "Not a directory"},
        FailureRow{
            "DanglingLink",
            [](const std::string& b) { make_link("nowhere", b + "/link"); },
            "@/link", "No such file or directory"},
        FailureRow{"LoopingLink",
                   [](const std::string& b) { make_link("link", b + "/link"); },
                   "@/link", "Too many levels of symbolic links"}),
    [](const auto& info) { return info.param.name; });

// Scans `root` with room for no more than `open_files` descriptors and ends
// the process with the scan's failure, as the program does.
void scan_with_open_file_limit(const std::string& root, rlim_t open_files) {
  rlimit limit{open_files, open_files};
  setrlimit(RLIMIT_NOFILE, &limit);
  ScanResult scanned = scan_directory(root);
  if (!scanned.failure.empty()) fatal(scanned.failure);
}

// Whether the build carries the address sanitizer's runtime. Its checks need
// spare descriptors of their own (the vptr check probes memory through a
// pipe), so they misfire once the scan has taken every descriptor there is.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A descent deeper than the process may hold directories open fails at the
// subdirectory that cannot be opened, named in quoted form.
TEST(ScanDeathTest, DescentBeyondTheOpenFileLimit) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers need free descriptors";
  TempDir base;
  std::string root = base.path + "/q\"b\\s";
  std::string deepest = root;
  for (int i = 0; i < 40; ++i) deepest += "/d";
  make_file(deepest + "/f.txt", 1);
  std::string quoted_root = base.path + "/q\\\"b\\\\s";
  EXPECT_EXIT(scan_with_open_file_limit(root, 20), ::testing::ExitedWithCode(1),
              "^FEHLER: Zugriff verweigert bei \"" + regex_escape(quoted_root) +
                  "(/d)+\" \\(Too many open files\\)\n\n$");
}

}  // namespace
