#include "test_util.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "beneath.h"
#include "prune.h"
#include "sync.h"
#include "workers.h"

namespace fs = std::filesystem;

namespace {

void make_parent(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
}

}  // namespace

TempDir::TempDir(const std::string& base) {
  std::string pattern = base + "/kalvern-test-XXXXXX";
  if (base.empty() || mkdtemp(pattern.data()) == nullptr) {
    pattern = (fs::temp_directory_path() / "kalvern-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  }
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Restore search and write permission a test may have taken away.
  for (auto it = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      chmod(it->path().c_str(), 0700);
    }
  }
  chmod(path.c_str(), 0700);
  fs::remove_all(path, error);
}

WorkingDir::WorkingDir(const std::string& path)
    : previous(fs::current_path().string()) {
  fs::current_path(path);
}

WorkingDir::~WorkingDir() {
  std::error_code error;
  fs::current_path(previous, error);
}

void make_file(const std::string& path, std::int64_t seconds, long nanoseconds,
               const std::string& content) {
  make_parent(path);
  std::ofstream(path, std::ios::binary) << content;
  timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    throw std::runtime_error("utimensat " + path);
  }
}

void make_dir(const std::string& path) { fs::create_directories(path); }

void make_link(const std::string& target, const std::string& path) {
  make_parent(path);
  fs::create_symlink(target, path);
}

void make_fifo(const std::string& path) {
  make_parent(path);
  if (mkfifo(path.c_str(), 0600) != 0) {
    throw std::runtime_error("mkfifo " + path);
  }
}

void make_socket(const std::string& path) {
  make_parent(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    throw std::runtime_error("socket path too long: " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket");
  int bound =
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  close(fd);
  if (bound != 0) throw std::runtime_error("bind " + path);
}

bool is_excluded_name(const std::string& name) {
  for (const char* excluded : {"lost+found", "$RECYCLE.BIN",
                               "System Volume Information", "Recovery",
                               "RECYCLER"}) {
    if (name == excluded) return true;
  }
  return false;
}

std::string with_base(const std::string& root, const std::string& base) {
  std::string result;
  for (char c : root) result += c == '@' ? base : std::string(1, c);
  return result;
}

std::string regex_escape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c != '\0' && std::strchr("\\^$.|?*+()[]{}", c) != nullptr) {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

CompareResult compare_dirs(const FileTimeMap& left, const FileTimeMap& right,
                           std::int64_t slack) {
  return compare_dirs(FileTimeMap(left), FileTimeMap(right), slack);
}

bool sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& left_root,
                          const std::string& right_root) {
  Tree left = open_tree(left_root);
  Tree right = open_tree(right_root);
  bool ok = sync_different_files(entries, left, right);
  close_tree(left);
  close_tree(right);
  return ok;
}

bool handle_missing(const std::vector<DiffEntry>& entries,
                    const std::string& left_root, const std::string& right_root,
                    char missing_action) {
  Tree left = open_tree(left_root);
  Tree right = open_tree(right_root);
  bool ok = handle_missing(entries, left, right, missing_action);
  close_tree(left);
  close_tree(right);
  return ok;
}

bool remove_empty_parents(const Tree& tree, std::string directory) {
  Workers workers(1);
  std::deque<PruneWalk> walks(1);
  walks[0].tree = &tree;
  walks[0].dir = std::move(directory);
  bool ok = run_walks(
      walks, 0, 1, workers,
      [](std::size_t, const std::string&) { return Block::Free; },
      [](const Tree&, const std::string&) {});
  write_lines(walks[0].lines);
  return ok;
}
