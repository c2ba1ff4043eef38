// scan.cpp: the walk of one tree into its table, and of two trees at once.
//
// The walk goes depth-first and holds one open directory per level of the
// descent.  Each directory is read whole, its entries settled (dirread), by
// the merge itself or by worker threads ahead of it (readahead).  The merge
// then replays the entries in the listing's order: it records files, enters
// subdirectories and meets failures exactly where a walk reading one entry
// at a time would.  A file's key is its chain of names below the root, since
// the walk never descends through a symbolic link; only a link needs the
// full rule (its path resolved weakly-canonically, then made lexically
// relative to the resolved root), and a link that leads out of the tree is
// not recorded.
//
// The two trees are walked at once, the right one on a thread of its own.
// A descriptor limit met while reading ahead, or beside the other tree's
// walk, makes the tree be scanned again alone and without workers, so that
// the limit strikes where the plain walk meets it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "scan.h"
#include "dirread.h"
#include "handles.h"
#include "path.h"
#include "readahead.h"

namespace fs = std::filesystem;

namespace {

// One directory on the merge's descent.
struct Frame {
  Node* node = nullptr;
  std::size_t prefix = 0;  // length of its path below the root
  std::size_t next_item = 0;
  std::size_t touched = 0;  // items whose buckets are in the cache
};

// The state of one scan.
struct Walk {
  std::string root;        // as given
  std::string rel;         // path below the root of the current entry
  std::string ahead_keys;  // the keys of the next files, for touch_ahead
  std::vector<Frame> frames;
  std::unique_ptr<Node> root_node;
  std::optional<fs::path> resolved_root;  // computed on first need
  TableStorage storage = new_table_storage();
  FileTimeMap files{FileTimeMap::allocator_type(storage.get())};
  ScanCounter* found = nullptr;
  const std::atomic<bool>* cancel = nullptr;  // another scan failed first
  ReadAhead* ahead = nullptr;                 // null: no workers
  ReadAhead* pool = nullptr;  // where workers start once the merge waits
  std::vector<std::string> leftovers;  // temporary names of earlier runs
  SeenDirs dirs;                       // the directories entered
  std::string failure;
  bool out_of_descriptors = false;  // the failure is a descriptor limit
};

}  // namespace

static bool is_out_of_descriptors(int error) {
  return error == EMFILE || error == ENFILE;
}

// The entry's path as walked: the root joined with its names below it.
static std::string walked_path(const Walk& walk) {
  return full_path(walk.root, walk.rel);
}

static std::string open_failure(const std::string& root, int error) {
  return "FEHLER beim Durchsuchen des Verzeichnisses: '" + shown_path(root, 2) +
         "' (" + std::strerror(error) + ")\n\n";
}

// Records the walk's first failure at the current entry; the walk then ends.
static void fail_access(Walk& walk, int error) {
  walk.failure = "FEHLER: Zugriff verweigert bei " +
                 quoted_path(walked_path(walk), 2) + " (" +
                 std::strerror(error) + ")\n\n";
}

// The message for a file whose time cannot be read.
static std::string time_failure(const std::string& path) {
  return "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: " +
         quoted_path(path, 2) + "\n";
}

static void fail_time(Walk& walk) {
  walk.failure = time_failure(walked_path(walk));
}

// Records a symbolic link to a regular file under its target's key, unless
// the target lies outside the tree.
static void record_link(Walk& walk, std::int64_t seconds,
                        std::uint64_t inode) {
  std::string path = walked_path(walk);
  std::error_code error;
  if (!walk.resolved_root) {
    fs::path resolved = fs::weakly_canonical(walk.root, error);
    if (error) return fail_access(walk, error.value());
    walk.resolved_root = resolved;
  }
  fs::path target = fs::weakly_canonical(path, error);
  if (error) return fail_access(walk, error.value());
  fs::path key = target.lexically_relative(*walk.resolved_root);
  if (key.empty() || *key.begin() == "..") return;
  record_time(walk.files, key.native(), seconds, inode);
}

// Enters directory `node`, whose entry is the current one, once it is read.
static void enter(Walk& walk, Node& node, char* buffer) {
  obtain(walk.ahead, node, buffer);
  if (walk.pool != nullptr && add_workers_if_waiting(*walk.pool)) {
    walk.ahead = walk.pool;
  }
  if (node.open_error != 0) {
    walk.out_of_descriptors = is_out_of_descriptors(node.open_error);
    return fail_access(walk, node.open_error);
  }
  add_seen_dir(walk.dirs, walk.rel, node.id);
  Frame& frame = walk.frames.emplace_back();
  frame.node = &node;
  frame.prefix = walk.rel.size();
  if (walk.ahead != nullptr) queue_ahead(*walk.ahead, node);
}

// Brings the table's buckets for the next files of `frame`, from item
// `from` on, into the cache.
static void touch_ahead(Walk& walk, Frame& frame, std::size_t from) {
  const Node& node = *frame.node;
  std::size_t end = std::min(node.items.size(), from + kTouchBatch);
  std::string& keys = walk.ahead_keys;
  std::size_t starts[kTouchBatch + 1];
  std::size_t count = 0;
  keys.clear();
  for (std::size_t i = from; i < end; ++i) {
    const Item& item = node.items[i];
    if (item.kind != ItemKind::File) continue;
    starts[count++] = keys.size();
    keys.append(walk.rel, 0, frame.prefix);
    if (frame.prefix != 0) keys += '/';
    keys.append(node.names, item.name, item.name_length);
  }
  starts[count] = keys.size();
  std::string_view views[kTouchBatch];
  for (std::size_t i = 0; i < count; ++i) {
    views[i] =
        std::string_view(keys).substr(starts[i], starts[i + 1] - starts[i]);
  }
  touch_buckets(walk.files, views, count);
  frame.touched = end;
}

// Replays one entry of the innermost directory.
static void visit(Walk& walk, Frame& frame, const Item& item, char* buffer) {
  Node& node = *frame.node;
  walk.rel.resize(frame.prefix);
  if (!walk.rel.empty()) walk.rel += '/';
  walk.rel.append(node.names, item.name, item.name_length);
  switch (item.kind) {
    case ItemKind::Skip:
      break;
    case ItemKind::File:
      if (frame.next_item > frame.touched) {
        touch_ahead(walk, frame, frame.next_item - 1);
      }
      record_time(walk.files, walk.rel, item.seconds, item.ino);
      break;
    case ItemKind::Link:
      record_link(walk, item.seconds, item.ino);
      break;
    case ItemKind::Leftover:
      walk.leftovers.push_back(walk.rel);
      break;
    case ItemKind::Directory:
      enter(walk, *node.children[node.next_child++], buffer);
      break;
    case ItemKind::AccessFailed:
      fail_access(walk, item.error);
      break;
    case ItemKind::TimeFailed:
      fail_time(walk);
      break;
  }
}

// Leaves the innermost directory after its last entry, or at its failed
// read, which is met as the walk would meet it: at the advance.
static void leave(Walk& walk) {
  Frame& frame = walk.frames.back();
  Node& node = *frame.node;
  if (node.first_read_failed && walk.frames.size() == 1) {
    walk.failure = open_failure(walk.root, node.read_error);
  } else if (node.read_error != 0) {
    fail_access(walk, node.read_error);
  }
  close(node.fd);
  node.fd = -1;
  // Its listing is spent: only the tables may grow with the tree's width.
  std::vector<Item>().swap(node.items);
  std::string().swap(node.names);
  std::vector<std::unique_ptr<Node>>().swap(node.children);
  walk.frames.pop_back();
  if (walk.found) {
    walk.found->store(walk.files.size(), std::memory_order_relaxed);
  }
}

static bool cancelled(const Walk& walk) {
  return walk.cancel != nullptr && walk.cancel->load(std::memory_order_relaxed);
}

// Replays the tree from the root down, until its end or its first failure.
static void merge(Walk& walk) {
  auto buffer = std::make_unique<char[]>(kListingBufferSize);
  walk.frames.reserve(64);
  enter(walk, *walk.root_node, buffer.get());
  while (!walk.frames.empty() && walk.failure.empty() && !cancelled(walk)) {
    Frame& frame = walk.frames.back();
    if (frame.next_item == frame.node->items.size()) {
      leave(walk);
    } else {
      visit(walk, frame, frame.node->items[frame.next_item++], buffer.get());
    }
  }
}

// Closes what is still open after a walk that ended early: the directories
// of the descent and those read ahead but not entered.
static void close_unentered(Node& node) {
  if (node.fd >= 0) close(node.fd);
  for (auto& child : node.children) close_unentered(*child);
}

static void close_all(Walk& walk) {
  for (Frame& frame : walk.frames) {
    auto& children = frame.node->children;
    for (std::size_t i = frame.node->next_child; i < children.size(); ++i) {
      close_unentered(*children[i]);
    }
    close(frame.node->fd);
  }
  walk.frames.clear();
}

// Opens the root of a scan for reading: the directory of `root_fd`, a handle
// held on it, or by its path where there is none.  The handle is reopened
// through /proc, which asks for read permission only, as opening the path
// does; only where /proc is missing is the path opened and checked to lead
// to the same directory.
static int open_root(const std::string& root, int root_fd) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (root_fd < 0) return open(root.c_str(), kFlags);
  int fd = reopen_directory(root_fd);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = open(root.c_str(), kFlags);
  struct stat held, opened;
  if (fd >= 0 &&
      (fstat(root_fd, &held) != 0 || fstat(fd, &opened) != 0 ||
       !same_file(held, opened))) {
    close(fd);
    errno = ENOENT;
    return -1;
  }
  return fd;
}

// One scan of `root` (through `root_fd`, if not -1), with workers reading
// ahead where `read_ahead` is set; `alone` tells that no other scan runs
// beside it.  Gives nullopt where the descriptors ran out while workers or
// another scan held some.
static std::optional<ScanResult> scan_with(const std::string& root, int root_fd,
                                           ScanCounter* found,
                                           const std::atomic<bool>* cancel,
                                           bool read_ahead, bool alone) {
  Walk walk;
  walk.root = root;
  walk.found = found;
  walk.cancel = cancel;
  walk.root_node = std::make_unique<Node>();
  walk.root_node->fd = open_root(root, root_fd);
  if (walk.root_node->fd < 0)
    return ScanResult{nullptr, {}, open_failure(root, errno), {}, {}};
  ReadAhead ahead;
  if (read_ahead) {
    if (begin_read_ahead(ahead, walk.root_node->fd, alone)) walk.ahead = &ahead;
    walk.pool = &ahead;
  }
  merge(walk);
  if (walk.ahead != nullptr) stop_workers(ahead);
  close_all(walk);
  if (walk.out_of_descriptors && (read_ahead || !alone)) return std::nullopt;
  if (!walk.failure.empty())
    return ScanResult{nullptr, {}, std::move(walk.failure), {}, {}};
  sort_seen_dirs(walk.dirs);
  return ScanResult{std::move(walk.storage), std::move(walk.files), {},
                    std::move(walk.leftovers), std::move(walk.dirs)};
}

ScanResult scan_directory(const std::string& root, ScanCounter* found) {
  std::optional<ScanResult> scan =
      scan_with(root, -1, found, nullptr, true, true);
  if (!scan) scan = scan_with(root, -1, found, nullptr, false, true);
  return std::move(*scan);
}

TreeScans scan_trees(const std::string& left_root,
                     const std::string& right_root, ScanCounter* left_found,
                     ScanCounter* right_found, int left_fd, int right_fd) {
  std::atomic<bool> left_failed{false};
  std::optional<ScanResult> right;
  std::optional<std::thread> right_thread;
  try {
    right_thread.emplace([&] {
      right = scan_with(right_root, right_fd, right_found, &left_failed, true,
                        false);
    });
  } catch (const std::system_error&) {
  }
  std::optional<ScanResult> left = scan_with(
      left_root, left_fd, left_found, nullptr, true, !right_thread.has_value());
  if (left && !left->failure.empty()) left_failed = true;
  if (right_thread) right_thread->join();
  // A scan that ran out of descriptors beside the other one is repeated
  // alone and without workers, as the plain walk would have met the limit.
  // The results are moved into place, never assigned: an assigned table
  // would copy every node out of its storage.
  if (!left) {
    left = scan_with(left_root, left_fd, left_found, nullptr, false, true);
  }
  if (!left->failure.empty()) return TreeScans{std::move(*left), {}};
  if (!right) {
    right = scan_with(right_root, right_fd, right_found, nullptr, false, true);
  }
  return TreeScans{std::move(*left), std::move(*right)};
}
