// The synchronisation with many operations in flight against the same one
// with one: on random tree pairs, random answers and faults, standard
// output, standard error, status and the trees afterwards must be the same
// byte for byte.  Each run is a child process, so that it can drop root's
// rights (for sources it may not read and directories it may not write)
// and so that its output goes to files of its own.

#include <grp.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "compare.h"
#include "scan.h"
#include "sync.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
// Seeds of each of the parts; under ThreadSanitizer, whose processes
// fork slowly, fewer of the same.
#ifdef __SANITIZE_THREAD__
constexpr int kSeeds = 8;
#else
constexpr int kSeeds = 25;
#endif
const char* const kNames[] = {"a", "a.txt", "ab", "d", "sub", "x"};

// One random case: the trees, the answers and the faults, all drawn from
// `seed`.
struct Case {
  std::mt19937 random;
  bool update = true;     // the first question answered j
  char action = 'b';      // the second answer
  bool small_disk = false;  // the right tree is a small tmpfs
  bool drive = false;       // the right tree is on exFAT or FAT, through FUSE
  bool reuse = true;        // bytes the target holds are not written again
  explicit Case(int seed) : random(seed) {}
  int pick(int n) { return static_cast<int>(random() % n); }
};

// What one run left: its output, status and the trees.
struct Outcome {
  std::string out, err, trees;
  int status = -1;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A random relative path of one to three components.
std::string random_path(Case& c) {
  std::string path;
  for (int depth = 1 + c.pick(3); depth > 0; --depth) {
    path += (path.empty() ? "" : "/") + std::string(kNames[c.pick(6)]);
  }
  return path;
}

// Whether `path` can be made in a tree holding `used`: no prefix of it is a
// file there and it is no directory there.
bool fits(const std::set<std::string>& files, const std::set<std::string>& dirs,
          const std::string& path) {
  if (files.count(path) || dirs.count(path)) return false;
  for (std::size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (files.count(path.substr(0, slash))) return false;
  }
  return true;
}

void add(std::set<std::string>& files, std::set<std::string>& dirs,
         const std::string& path) {
  files.insert(path);
  for (std::size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    dirs.insert(path.substr(0, slash));
  }
}

// Makes the two trees of `c` below `base`; the same seed makes the same
// trees, times and contents.
void make_trees(Case& c, const std::string& base) {
  std::set<std::string> files[2], dirs[2];
  int size = c.small_disk ? 150 << 10 : 3000;
  std::int64_t right_bytes = 0;  // a small disk is filled only so far
  for (int i = 0, n = 10 + c.pick(20); i < n; ++i) {
    std::string path = random_path(c);
    int kind = c.pick(5);  // equal, left newer, right newer, left, right
    std::int64_t when = 1600000000 + c.pick(1000) * 10;
    std::string content(c.pick(size), static_cast<char>('a' + i % 26));
    for (int side = 0; side < 2; ++side) {
      bool wanted = kind < 3 || kind == 3 + side;
      if (!wanted || !fits(files[side], dirs[side], path)) continue;
      if (side == 1 && (right_bytes += content.size()) > (1200 << 10)) continue;
      std::int64_t at = when + (kind == 1 + side ? 100 : 0);
      make_file(base + (side ? "/R/" : "/L/") + path, at, c.pick(1000000),
                content + std::to_string(side));
      add(files[side], dirs[side], path);
    }
  }
  fs::create_directories(base + "/L");
  fs::create_directories(base + "/R");
}

// Adds to the trees of `c` files that a synchronisation need not write:
// moved ones (the same bytes and time at another path of the other side,
// now and then once more on the same side), decoys (the same size and time,
// other bytes) and touched ones (the same bytes, another time), drawn from
// a stream of their own so that the other draws of a seed stay as they
// were.
void add_reusable(int seed, const std::string& base) {
  Case extra(seed * 7919 + 1);
  const char* const sides[] = {"/L/", "/R/"};
  for (int i = 0, n = 2 + extra.pick(8); i < n; ++i) {
    int kind = extra.pick(3);  // moved, decoy, touched
    int side = extra.pick(2);
    std::string from = "m" + std::to_string(i) + "/" + random_path(extra);
    std::string to = kind == 2 ? from : "n" + std::to_string(i % 3) + "/f" +
                                            std::to_string(i);
    std::int64_t when = 1600000000 + extra.pick(3) * 10;
    std::string content(1 + extra.pick(5000), static_cast<char>('A' + i));
    make_file(base + sides[side] + from, when, extra.pick(1000000), content);
    if (kind == 1) content.back() = '!';
    if (kind == 2) when += 100;
    make_file(base + sides[1 - side] + to, when, extra.pick(1000000), content);
    if (kind == 0 && extra.pick(3) == 0) {
      make_file(base + sides[side] + "o" + std::to_string(i), when, 0, content);
    }
  }
}

// Adds files that a copy could take but whose paths other copies need as
// directories: "z<i>" on one side with the bytes and time of "k<i>" on the
// other, which holds "z<i>/f" too.
void add_needed_paths(int seed, const std::string& base) {
  Case extra(seed * 7919 + 5);
  const char* const sides[] = {"/L/", "/R/"};
  for (int i = 0, n = extra.pick(3); i < n; ++i) {
    int side = extra.pick(2);
    std::string name = std::to_string(i);
    std::string content(1 + extra.pick(3000), static_cast<char>('K' + i));
    long nanoseconds = extra.pick(1000000);
    make_file(base + sides[side] + "k" + name, 1600000500, nanoseconds, content);
    make_file(base + sides[side] + "z" + name + "/f", 1600000500, 0, "f");
    make_file(base + sides[1 - side] + "z" + name, 1600000500, nanoseconds,
              content);
  }
}

// Mounts a fresh image `image` of FAT (`fat`) or exFAT at `dir` through
// FUSE, exFAT on a loop device, open to every user and its files nobody's;
// false where that is not permitted here.
bool mount_drive(bool fat, const std::string& image, const std::string& dir) {
  std::string options = " -o allow_other,uid=65534,gid=65534";
  std::string command =
      "{ truncate -s 32M " + image + " && " +
      (fat ? "mkfs.vfat " + image + " && fusefat" + options + ",rw+ " + image
           : "mkfs.exfat " + image + " && mount.exfat-fuse" + options +
                 " $(losetup -f --show " + image + ")") +
      " " + dir + "; }";
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Unmounts the drive of mount_drive at `dir` and lets go of its `image`.
void unmount_drive(const std::string& image, const std::string& dir) {
  umount(dir.c_str());
  std::string command = "losetup --list -n -O NAME -j " + image +
                        " | xargs -r losetup -d && rm -f " + image;
  if (system(command.c_str()) != 0) ADD_FAILURE() << image << " stays";
}

// Leaves the tmpfs at `dir` a few inodes beyond those it uses.
void run_short_of_inodes(const std::string& dir) {
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) != 0 || vfs.f_files == 0) return;
  std::string options =
      "nr_inodes=" + std::to_string(vfs.f_files - vfs.f_ffree + 3);
  mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT, options.c_str());
}

// Adds to the trees a crowd of one-sided files in nested directories that
// files of both sides share: deletions that prune shared directories and
// copies that make nested ones, drawn from a stream of their own.
void add_crowd(int seed, const std::string& base) {
  Case extra(seed * 7919 + 2);
  for (int side = 0; side < 2; ++side) {
    for (int i = 0, n = 12 + extra.pick(36); i < n; ++i) {
      std::string path = "p" + std::to_string(extra.pick(3)) + "/q" +
                         std::to_string(extra.pick(4));
      if (extra.pick(3) == 0) path += "/r" + std::to_string(extra.pick(2));
      path += "/" + std::to_string(side) + "-" + std::to_string(i);
      make_file(base + (side ? "/R/" : "/L/") + path,
                1600000000 + extra.pick(1000) * 10, 0,
                std::string(extra.pick(3000), 'c'));
    }
  }
}

// Adds, as if at the questions, a file that the scan did not see to some
// of the directories that files of the crowd leave, makes some unreadable,
// and puts a file where a copy of the crowd needs a directory.
void add_to_crowd(int seed, const std::string& base) {
  Case extra(seed * 7919 + 3);
  for (const char* side : {"/L", "/R"}) {
    std::vector<fs::path> dirs;
    for (const auto& entry : fs::recursive_directory_iterator(base + side)) {
      if (entry.is_directory() && !entry.is_symlink()) dirs.push_back(entry);
    }
    for (const auto& dir : dirs) {
      if (extra.pick(8) == 0) make_file(dir / "neu", 1650000000, 0, "neu");
      // Files go, but whether it is empty cannot be told.
      if (extra.pick(10) == 0) chmod(dir.c_str(), 0300);
    }
    for (int k = 0; k < 3; ++k) {
      std::string path = base + side + "/p" + std::to_string(k) + "/q" +
                         std::to_string(extra.pick(4));
      if (extra.pick(4) != 0 || fs::exists(path)) continue;
      fs::path where = fs::exists(fs::path(path).parent_path())
                           ? fs::path(path)
                           : fs::path(path).parent_path();
      make_file(where, 1650000000, 0, "kein Ordner");
    }
  }
}

// The faults of `c`, as if made at the questions: sources that the run may
// not read or that were replaced, and a directory it may not write.
void make_faults(Case& c, const std::string& base, bool as_nobody) {
  std::vector<fs::path> files, dirs;
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    if (entry.is_symlink()) continue;
    (entry.is_directory() ? dirs : files).push_back(entry.path());
  }
  if (as_nobody) {
    for (const auto& path : files) chown(path.c_str(), kNobody, kNobody);
    for (const auto& path : dirs) chown(path.c_str(), kNobody, kNobody);
    chown(base.c_str(), kNobody, kNobody);
  }
  for (const auto& path : files) {
    int fault = c.pick(20);
    if (fault == 0 && as_nobody) chown(path.c_str(), 0, 0), chmod(path.c_str(), 0);
    if (fault == 1) fs::remove(path);
    std::error_code no_links;  // exFAT holds none
    if (fault == 2) fs::remove(path), fs::create_symlink("/etc/passwd", path, no_links);
    if (fault == 3) make_file(path, 1700000000, 0, "changed");
  }
  for (const auto& path : dirs) {
    if (c.pick(8) == 0 && as_nobody) chown(path.c_str(), 0, 0);
  }
}

// Every object below `root` with its type, mode, owner, size, content and,
// for files, its time; directories' times change with every entry and are
// left out.
std::string snapshot(const std::string& root) {
  std::map<std::string, std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat st;
    lstat(entry.path().c_str(), &st);
    std::ostringstream line;
    line << std::oct << st.st_mode << std::dec << " " << st.st_uid << " "
         << st.st_size;
    if (S_ISREG(st.st_mode)) {
      line << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " "
           << std::hash<std::string>{}(read_file(entry.path()));
    }
    if (S_ISLNK(st.st_mode)) line << " -> " << fs::read_symlink(entry.path());
    lines[entry.path().lexically_relative(root).string()] = line.str();
  }
  std::string text;
  for (const auto& [path, line] : lines) text += path + " " + line + "\n";
  return text;
}

// Another process of the machine: while a run reads a file it may reuse
// in place of writing a copy (a file to delete, or an update's target), it
// appends a byte and gives the file its old time back, or links it from
// outside the trees.  fanotify holds the run's read until the change is
// made; where it is not permitted, nothing meddles.  A copying run never
// reads those files: each append not made during a run is made after it to
// the file where it still stands, so that the trees end alike.
struct Meddler {
  int fd = -1;
  int stop[2] = {-1, -1};
  // Per file: 1 append or 2 link, and its path.
  std::map<std::pair<dev_t, ino_t>, std::pair<int, std::string>> plans;
  std::string links;        // the directory of the links, outside the trees
  int made = 0;             // links made
  std::map<ino_t, std::string> before;  // what each file to link held
  // A read of this source appends to a file that a copy may take, held
  // open from before the run, and gives it a time of its own.
  std::pair<dev_t, ino_t> trigger{};
  int held = -1;
  std::thread thread;
};

// What a linked file holds, as the meddler checks it.
std::string held_by(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "gone";
  return std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) +
         "." + std::to_string(st.st_mtim.tv_nsec) + " " + read_file(path);
}

// Appends a byte to the open file `fd` of status `st`, keeping its time.
void append_byte(int fd, const struct stat& st) {
  if (pwrite(fd, "+", 1, st.st_size) == 1) {
    timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(fd, times);
  }
}

// Makes the change planned for the file `event_fd` reads, once.
void meddle(Meddler& m, int event_fd) {
  struct stat st;
  if (fstat(event_fd, &st) != 0) return;
  struct stat held;
  if (m.held >= 0 && std::pair(st.st_dev, st.st_ino) == m.trigger &&
      fstat(m.held, &held) == 0 && pwrite(m.held, "+", 1, held.st_size) == 1) {
    timespec times[2] = {{1700000001, 0}, {1700000001, 0}};
    futimens(m.held, times);
    close(m.held);
    m.held = -1;
  }
  auto plan = m.plans.find({st.st_dev, st.st_ino});
  if (plan == m.plans.end()) return;
  if (plan->second.first == 1) append_byte(event_fd, st);
  if (plan->second.first == 2) {
    std::string link = m.links + "/" + std::to_string(m.made++);
    linkat(event_fd, "", AT_FDCWD, link.c_str(), AT_EMPTY_PATH);
  }
  m.plans.erase(plan);
}

// The meddler's thread: answers each held read after its change.
void meddle_loop(Meddler& m) {
  alignas(fanotify_event_metadata) char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{m.fd, POLLIN, 0}, {m.stop[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) return;
    ssize_t n = read(m.fd, buffer, sizeof buffer);
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    for (; n > 0 && FAN_EVENT_OK(event, n); event = FAN_EVENT_NEXT(event, n)) {
      if (event->fd < 0) continue;
      meddle(m, event->fd);
      fanotify_response allow{event->fd, FAN_ALLOW};
      if (write(m.fd, &allow, sizeof allow) < 0) return;
      close(event->fd);
    }
  }
}

// Plans, with `r`, an append to a file to delete that a copy may take (of
// its size and time) when the run reads the source of another copy: before
// the take or while it is taken, never once it stands in place, which the
// end of its batch waits for (a small disk may end one early: not there).
void plan_take_append(Meddler& m, int seed, const std::string& base,
                      const std::vector<DiffEntry>& entries, const Case& c) {
  std::map<std::pair<off_t, time_t>, std::string> copies;  // by size, time
  std::vector<std::string> takes;
  struct stat st;
  for (const DiffEntry& entry : entries) {
    bool copied = entry.kind == MissingRight;
    std::string path = base + (copied ? "/L/" : "/R/") +
                       std::string(entry.relative_path);
    if ((!copied && entry.kind != MissingLeft) || stat(path.c_str(), &st) != 0) {
      continue;
    }
    auto key = std::pair(st.st_size, st.st_mtim.tv_sec);
    if (copied) copies[key] = path;
    if (!copied && copies.count(key)) takes.push_back(path);
  }
  if (c.action != 'r' || c.small_disk || copies.size() < 2 || takes.empty()) {
    return;
  }
  std::string source = copies.begin()->second;  // one copy or another
  if (stat(source.c_str(), &st) != 0 ||
      fanotify_mark(m.fd, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD,
                    source.c_str()) != 0) {
    return;
  }
  m.trigger = {st.st_dev, st.st_ino};
  std::string taken = takes[Case(seed * 7919 + 7).pick(takes.size())];
  m.held = open(taken.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (m.held >= 0 && fstat(m.held, &st) == 0) m.plans.erase({st.st_dev, st.st_ino});
}

// Plans and starts the meddling with the files of `entries` that a run of
// `c.action` may reuse below `base`, drawn from a stream of `seed`'s own.
void start_meddling(Meddler& m, int seed, const std::string& base,
                    const std::vector<DiffEntry>& entries, const Case& c) {
  const char action = c.action;
  m.links = base + ".links";
  fs::create_directories(m.links);
  m.fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDWR | O_LARGEFILE);
  if (m.fd < 0 || pipe(m.stop) != 0) return;
  struct stat links_st;
  stat(m.links.c_str(), &links_st);
  Case extra(seed * 7919 + 4);
  for (const DiffEntry& entry : entries) {
    bool reused_on_left = entry.kind == RightNewer ||
                          (action == 'l' && entry.kind == MissingRight);
    bool reused_on_right = entry.kind == LeftNewer ||
                           (action == 'r' && entry.kind == MissingLeft);
    if (!reused_on_left && !reused_on_right) continue;
    std::string path = base + (reused_on_left ? "/L/" : "/R/") +
                       std::string(entry.relative_path);
    int plan = 1 + extra.pick(3);
    struct stat st;
    if (plan > 2 || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    // A link cannot reach across file systems: an append instead.
    if (st.st_dev != links_st.st_dev) plan = 1;
    if (plan == 2) m.before[st.st_ino] = held_by(path);  // read unmarked
    if (fanotify_mark(m.fd, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD,
                      path.c_str()) == 0) {
      m.plans[{st.st_dev, st.st_ino}] = {plan, path};
    }
  }
  plan_take_append(m, seed, base, entries, c);
  m.thread = std::thread(meddle_loop, std::ref(m));
}

// Ends the meddling: every file linked from outside the trees holds what
// it held, with its mode and time, whatever the run did.
void stop_meddling(Meddler& m, int seed) {
  if (m.thread.joinable()) {
    if (write(m.stop[1], "x", 1) != 1) ADD_FAILURE() << "no stop";
    m.thread.join();
  }
  for (int fd : {m.fd, m.stop[0], m.stop[1], m.held}) {
    if (fd >= 0) close(fd);
  }
  for (const auto& [inode, plan] : m.plans) {
    struct stat st;
    int fd = open(plan.second.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && plan.first == 1 && fstat(fd, &st) == 0 &&
        st.st_dev == inode.first && st.st_ino == inode.second) {
      append_byte(fd, st);
    }
    if (fd >= 0) close(fd);
  }
  for (int i = 0; i < m.made; ++i) {
    std::string link = m.links + "/" + std::to_string(i);
    struct stat st;
    if (lstat(link.c_str(), &st) != 0) continue;  // linked too late
    EXPECT_EQ(held_by(link), m.before[st.st_ino]) << "seed " << seed;
  }
  fs::remove_all(m.links);
}

// Runs the synchronisation of `entries` in a child process with
// `in_flight` operations at once, as nobody where `as_nobody`; the trees
// are left to the caller.
Outcome run_child(const Case& c, const std::string& base,
                  const CompareResult& result, const TreeScans& scans,
                  std::size_t in_flight, bool as_nobody,
                  const std::function<void()>& forked) {
  std::string out = base + ".out", err = base + ".err";
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  // The child waits until `forked` has run: a thread it starts is not
  // forked along, with whatever lock it might hold.
  int go[2];
  if (pipe(go) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    char byte;
    close(go[1]);
    if (read(go[0], &byte, 1) != 1) _exit(97);
    if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                      setuid(kNobody) != 0)) {
      _exit(99);
    }
    if (dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(98);
    Tree left = open_tree(base + "/L");
    Tree right = open_tree(base + "/R");
    // Every directory is checked against the scan, as in a run.
    MadeDirIds left_made, right_made;
    CheckedDirs left_checked, right_checked;
    left.seen = &scans.left.dirs, right.seen = &scans.right.dirs;
    left.made = &left_made, right.made = &right_made;
    left.checked = &left_checked, right.checked = &right_checked;
    bool ok = true;
    if (c.update) {
      ok = sync_different_files(result.entries, left, right, in_flight, c.reuse);
    }
    ok = handle_missing(result.entries, left, right, c.action, in_flight,
                        nullptr, c.reuse) &&
         ok;
    std::cout.flush();
    _exit(ok ? 0 : 2);
  }
  close(out_fd);
  close(err_fd);
  close(go[0]);
  forked();
  if (write(go[1], "g", 1) != 1) ADD_FAILURE() << "the child was not started";
  close(go[1]);
  Outcome outcome;
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  outcome.out = read_file(out);
  outcome.err = read_file(err);
  return outcome;
}

// One run of case `seed` on fresh trees; `result` is filled by the first.
Outcome run_case(int seed, const std::string& base, CompareResult& result,
                 TreeScans& scans, std::size_t in_flight, bool reuse,
                 bool reusable, bool crowd, int drive) {
  Case c(seed);
  c.reuse = reuse;
  c.update = c.pick(4) != 0;
  c.action = "lrb"[c.pick(3)];
  c.small_disk = c.pick(3) == 0 && drive == 0;
  fs::create_directories(base + "/R");
  c.drive = drive != 0 && mount_drive(drive == 2, base + ".img", base + "/R");
  if (drive != 0 && !c.drive) ADD_FAILURE() << "no drive mounted, seed " << seed;
  if (c.small_disk &&
      mount("tmpfs", (base + "/R").c_str(), "tmpfs", 0, "size=2m,mode=0755") != 0) {
    c.small_disk = false;  // not permitted here: a plain directory
  }
  // Now and then the left tree runs short of inodes, where it may.
  fs::create_directories(base + "/L");
  bool few_inodes = Case(seed * 7919 + 6).pick(3) == 0 &&
                    mount("tmpfs", (base + "/L").c_str(), "tmpfs", 0,
                          "size=16m,mode=0755") == 0;
  make_trees(c, base);
  if (reusable) add_reusable(seed, base), add_needed_paths(seed, base);
  if (crowd) add_crowd(seed, base);
  if (result.entries.empty() && scans.left.files.empty()) {
    scans.left = scan_directory(base + "/L");
    scans.right = scan_directory(base + "/R");
    result = compare_dirs(scans.left.files, scans.right.files);
  } else {
    // The same listing, with the inodes of the trees made anew.
    ScanResult left_scan = scan_directory(base + "/L");
    ScanResult right_scan = scan_directory(base + "/R");
    const FileTimeMap& left = left_scan.files;
    const FileTimeMap& right = right_scan.files;
    scans.left.dirs = std::move(left_scan.dirs);
    scans.right.dirs = std::move(right_scan.dirs);
    for (DiffEntry& entry : result.entries) {
      std::string key(entry.relative_path);
      auto l = left.find(std::pmr::string(key));
      auto r = right.find(std::pmr::string(key));
      entry.left_inode = l == left.end() ? 0 : l->second.inode;
      entry.right_inode = r == right.end() ? 0 : r->second.inode;
    }
  }
  bool as_nobody = geteuid() == 0;
  make_faults(c, base, as_nobody);
  if (crowd) add_to_crowd(seed, base);
  if (few_inodes) run_short_of_inodes(base + "/L");
  Meddler meddler;
  Outcome outcome = run_child(c, base, result, scans, in_flight, as_nobody, [&] {
    start_meddling(meddler, seed, base, result.entries, c);
  });
  stop_meddling(meddler, seed);
  outcome.trees = snapshot(base);
  if (c.drive) unmount_drive(base + ".img", base + "/R");
  umount((base + "/R").c_str());
  if (few_inodes) umount((base + "/L").c_str());
  fs::remove_all(base);
  return outcome;
}

class SyncSerialProperty : public ::testing::TestWithParam<int> {};

TEST_P(SyncSerialProperty, ManyInFlightMatchOneAfterTheOther) {
  TempDir tmp;
  chmod(tmp.path.c_str(), 0755);
  // On a tmpfs of its own where permitted, so that making the trees durable
  // costs nothing.
  bool mounted = mount("tmpfs", tmp.path.c_str(), "tmpfs", 0, "mode=0755") == 0;
  std::vector<int> seeds;
  for (int seed = GetParam() * 25; seed < GetParam() * 25 + kSeeds; ++seed) {
    seeds.push_back(seed);
  }
  // Part 4: seeds where a copy of one direction makes a directory on the
  // path of a source of the other, which was removed at the question.
  bool reusable = GetParam() != 4;
  if (!reusable) seeds = {182, 433, 475, 729, 777, 1082, 1170};
  // Part 5: crowds of one-sided files in shared nested directories, half
  // as many seeds, each with many files.
  bool crowd = GetParam() == 5;
  if (crowd) seeds.resize(seeds.size() / 2);
  // Part 6: the right tree on an exFAT or, every other seed, a FAT image
  // through FUSE, which hold no owners and modes; a third as many seeds.
  bool drives = GetParam() == 6;
  if (drives) {
    seeds.resize(seeds.size() / 3);
    std::string probe = tmp.path + "/probe";
    fs::create_directories(probe);
    for (bool fat : {false, true}) {
      bool mountable = mount_drive(fat, probe + ".img", probe);
      unmount_drive(probe + ".img", probe);
      if (!mountable) {
        GTEST_SKIP() << "exFAT and FAT through FUSE (mkfs.exfat, losetup, "
                        "mount.exfat-fuse, mkfs.vfat, fusefat) cannot be "
                        "mounted here";
      }
    }
  }
  for (int seed : seeds) {
    std::string base = tmp.path + "/t";
    CompareResult result;
    TreeScans scans;
    // Files moved, touched or kept are taken where they are, against a
    // copying run; one of the two with one operation in flight.
    bool serial_reuses = seed % 2 == 1;
    int drive = drives ? 1 + seed % 2 : 0;  // exFAT, FAT
    Outcome serial = run_case(seed, base, result, scans, 1, serial_reuses,
                              reusable, crowd, drive);
    Outcome many = run_case(seed, base, result, scans, seed % 3 ? 16 : 64,
                            !serial_reuses, reusable, crowd, drive);
    EXPECT_EQ(serial.out, many.out) << "seed " << seed;
    EXPECT_EQ(serial.err, many.err) << "seed " << seed;
    EXPECT_EQ(serial.status, many.status) << "seed " << seed;
    EXPECT_EQ(serial.trees, many.trees) << "seed " << seed;
    EXPECT_EQ(serial.trees.find(".kalvern-"), std::string::npos) << seed;
  }
  if (mounted) umount(tmp.path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Seeds, SyncSerialProperty, ::testing::Range(0, 7));

}  // namespace
