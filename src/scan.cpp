// scan.cpp: the walk of one tree into its table, and of two trees at once.
//
// The walk goes depth-first and holds one open directory per level of the
// descent.  A directory is read whole (getdents64), and each entry is settled
// there: a regular file costs one fstatat relative to the open directory, a
// symbolic link one fstatat that follows it, an entry without a type from the
// listing one more to learn it.  The merge then replays the entries in the
// listing's order: it records files, enters subdirectories and meets failures
// exactly where a walk reading one entry at a time would.  A file's key is its
// chain of names below the root, since the walk never descends through a
// symbolic link; only a link needs the full rule (its path resolved
// weakly-canonically, then made lexically relative to the resolved root), and
// a link that leads out of the tree is not recorded.
//
// Worker threads read subdirectories ahead of the merge: when the merge enters
// a directory, its subdirectories are queued, and a worker opens and reads
// one while the merge is busy elsewhere; a directory read has its own
// subdirectories queued in turn.  Workers take the queued directory that the
// depth-first merge will enter first.  A window of directories is read
// ahead, each holding its listing and its open descriptor until the merge
// enters it, so neither memory nor descriptors grow with the width of the
// tree; the window is sized from the limit of open files.  When the merge
// reaches a directory that no worker has taken yet, it reads it itself; when
// a worker is still reading it, the merge reads other queued ones meanwhile
// and then waits for it.  A descriptor limit met while reading ahead makes
// the tree be scanned again without workers, so that the limit strikes where
// the plain walk meets it.
//
// Two workers per tree to begin with, measured on two cores: with cold
// caches they keep a local disk busy; with warm ones the two trees already
// fill both cores and the workers only cost.  So where the walks fill every
// core the process may use, the workers start only once the merge is seen
// waiting.  On a network or FUSE file system every listing is a round trip,
// and the merge keeps waiting: the number of workers then doubles, window by
// window, up to kMaxWorkers.  On a local disk more than the first workers
// gained nothing, cold or warm.  A large directory has its times fetched in
// inode order, which reads a cold inode table forwards.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "compare.h"
#include "fskind.h"
#include "path.h"

namespace fs = std::filesystem;

namespace {

// Directories that are never descended into, matched byte for byte.
const char* const kExcludedDirNames[] = {"lost+found", "$RECYCLE.BIN",
                                         "System Volume Information",
                                         "Recovery", "RECYCLER"};

constexpr std::size_t kListingBufferSize = 32 * 1024;
// Directories read ahead of the merge, at most, per tree; fewer where the
// limit of open files asks for it.
// These can be set when building, for measurements and tests.
#ifndef KALVERN_SCAN_WINDOW
#define KALVERN_SCAN_WINDOW 1024
#endif
constexpr std::size_t kMaxWindow = KALVERN_SCAN_WINDOW;
#ifndef KALVERN_SCAN_WORKERS
#define KALVERN_SCAN_WORKERS 2
#endif
#ifndef KALVERN_SCAN_MAX_WORKERS
#define KALVERN_SCAN_MAX_WORKERS 32
#endif
// 1: the workers start with the walk, whatever the cores, and grow on any
// file system (for tests).
#ifndef KALVERN_SCAN_WORKERS_AT_ONCE
#define KALVERN_SCAN_WORKERS_AT_ONCE 0
#endif
#ifndef KALVERN_INODE_ORDER_FROM
#define KALVERN_INODE_ORDER_FROM 256
#endif
// Directories with at least this many entries have their times fetched in
// inode order.
constexpr std::size_t kInodeOrderFrom = KALVERN_INODE_ORDER_FROM;
// Worker threads per tree that read ahead of the merge, at first and at
// most.
constexpr int kWorkers = KALVERN_SCAN_WORKERS;
constexpr int kMaxWorkers = KALVERN_SCAN_MAX_WORKERS;
// Where the walks already fill every core, workers start only once the
// merge is seen waiting: off the processor for more than half of a window
// of kWaitWindow or more, looked at as it enters each directory.  While it
// keeps waiting, window after window, the workers double.
constexpr std::chrono::nanoseconds kWaitWindow = std::chrono::milliseconds(20);

// What one entry of a directory turned out to be.
enum class ItemKind : unsigned char {
  Skip,          // passed over: a pipe, a dangling link, a temporary file
  File,          // a regular file, recorded under its names
  Link,          // a symbolic link to a regular file
  Directory,     // a subdirectory to descend into
  AccessFailed,  // its type or time could not be read: `error`
  TimeFailed,    // a regular file gone before its time was read
};

// One entry of a directory, as read.
struct Item {
  std::uint32_t name;  // offset of its name in the listing's `names`
  std::uint32_t name_length;
  ItemKind kind;
  unsigned char type;  // as the listing gave it
  int error;
  std::int64_t seconds;
  std::uint64_t ino;
};

// One directory of the walk: opened and read by a worker or by the merge.
struct Node {
  int parent_fd = -1;  // the open parent; -1 for the root
  std::string name;    // below the parent
  int fd = -1;         // the directory, open until the merge leaves it
  int open_error = 0;  // errno of a failed opening
  int read_error = 0;  // errno of a failed read, after the items read
  bool first_read_failed = false;  // the very first read failed
  std::vector<Item> items;
  std::string names;
  std::vector<std::unique_ptr<Node>> children;  // its subdirectories
  std::size_t next_queued = 0;                  // the next child to read ahead
  // Its place in the depth-first walk: the indices of the subdirectories
  // that lead to it, four bytes each, highest first, so that comparing
  // two places as strings gives the order in which the merge enters them.
  std::string place;
  enum State { Waiting, Queued, Reading, Read } state = Waiting;
};

// One directory on the merge's descent.
struct Frame {
  Node* node = nullptr;
  std::size_t prefix = 0;  // length of its path below the root
  std::size_t next_item = 0;
  std::size_t next_child = 0;  // the next subdirectory to enter
  std::size_t touched = 0;     // items whose buckets are in the cache
};

// Orders queued directories as the depth-first merge will enter them.
struct WalkOrder {
  bool operator()(const Node* a, const Node* b) const {
    return a->place < b->place;
  }
};

// Shared by the merge of one tree and its workers.
struct ReadAhead {
  std::mutex mutex;
  std::condition_variable work;  // a directory was queued, or stop
  std::condition_variable done;  // a directory was read
  std::set<Node*, WalkOrder> queue;
  std::size_t outstanding = 0;      // queued or read, not yet entered
  std::size_t window = kMaxWindow;  // most directories outstanding
  bool stop = false;
  std::vector<std::thread> workers;
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
  int more_workers = 0;       // workers that may still be started
  std::chrono::nanoseconds wall_mark{}, cpu_mark{};
  std::string failure;
  bool out_of_descriptors = false;  // the failure is a descriptor limit
};

}  // namespace

static bool is_excluded(const char* name) {
  for (const char* excluded : kExcludedDirNames) {
    if (std::strcmp(name, excluded) == 0) return true;
  }
  return false;
}

static bool is_out_of_descriptors(int error) {
  return error == EMFILE || error == ENFILE;
}

// ---------------------------------------------------------------------------
// Reading one directory

// The type of an entry the listing gave none for, links not followed; sets
// `error` if it cannot be learnt.
static unsigned char query_type(int dir_fd, const char* name, int& error) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) error = errno;
    return DT_UNKNOWN;
  }
  if (S_ISLNK(st.st_mode)) return DT_LNK;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  return DT_UNKNOWN;
}

// Settles a regular file: its time, or why it has none.
static void settle_file(int dir_fd, const char* name, Item& item) {
  if (is_temp_file_name(name)) return;
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0) {
    bool gone = errno == ENOENT || errno == ENOTDIR;
    item.kind = gone ? ItemKind::TimeFailed : ItemKind::AccessFailed;
    item.error = errno;
    return;
  }
  item.kind = ItemKind::File;
  item.seconds = st.st_mtim.tv_sec;
}

// Settles a symbolic link: a link to a regular file is kept with its
// target's time, one that leads nowhere is passed over.
static void settle_link(int dir_fd, const char* name, Item& item) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return;
    item.kind = ItemKind::AccessFailed;
    item.error = errno;
    return;
  }
  if (!S_ISREG(st.st_mode)) return;
  item.kind = ItemKind::Link;
  item.seconds = st.st_mtim.tv_sec;
}

// Settles one entry of the listing by the type the listing gave it.
static void settle(int dir_fd, const char* name, Item& item) {
  int error = 0;
  unsigned char type = item.type;
  if (type == DT_UNKNOWN) type = query_type(dir_fd, name, error);
  if (error != 0) {
    item.kind = ItemKind::AccessFailed;
    item.error = error;
  } else if (type == DT_DIR) {
    if (!is_excluded(name)) item.kind = ItemKind::Directory;
  } else if (type == DT_REG) {
    settle_file(dir_fd, name, item);
  } else if (type == DT_LNK) {
    settle_link(dir_fd, name, item);
  }
}

// Settles every entry of `node`; those of a large directory in the order of
// their inode numbers, so that a cold disk reads its inode table forwards.
static void settle_all(Node& node) {
  auto settle_item = [&](Item& item) {
    settle(node.fd, node.names.c_str() + item.name, item);
  };
  if (node.items.size() < kInodeOrderFrom) {
    for (Item& item : node.items) settle_item(item);
    return;
  }
  std::vector<Item*> order;
  order.reserve(node.items.size());
  for (Item& item : node.items) order.push_back(&item);
  std::sort(order.begin(), order.end(),
            [](const Item* a, const Item* b) { return a->ino < b->ino; });
  for (Item* item : order) settle_item(*item);
}

// Adds the entries of one chunk of a listing to `node`, not yet settled.
static void add_entries(Node& node, const char* buffer, long size) {
  for (long pos = 0; pos < size;) {
    auto* entry = reinterpret_cast<const dirent64*>(buffer + pos);
    pos += entry->d_reclen;
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    std::size_t length = std::strlen(entry->d_name);
    node.items.push_back(Item{static_cast<std::uint32_t>(node.names.size()),
                              static_cast<std::uint32_t>(length),
                              ItemKind::Skip, entry->d_type, 0, 0,
                              entry->d_ino});
    node.names.append(entry->d_name, length + 1);
  }
}

// Opens `node` below its parent (the root is open already) and reads all of
// its entries.
static void read_node(Node& node, char* buffer) {
  if (node.fd < 0) {
    node.fd = openat(node.parent_fd, node.name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (node.fd < 0) {
      node.open_error = errno;
      return;
    }
  }
  for (bool first = true;; first = false) {
    long n = getdents64(node.fd, buffer, kListingBufferSize);
    if (n < 0) {
      node.read_error = errno;
      node.first_read_failed = first;
    }
    if (n <= 0) break;
    add_entries(node, buffer, n);
  }
  settle_all(node);
  for (const Item& item : node.items) {
    if (item.kind != ItemKind::Directory) continue;
    auto child = std::make_unique<Node>();
    child->parent_fd = node.fd;
    child->name = node.names.c_str() + item.name;
    auto index = static_cast<std::uint32_t>(node.children.size());
    child->place = node.place;
    for (int shift = 24; shift >= 0; shift -= 8) {
      child->place += static_cast<char>((index >> shift) & 0xff);
    }
    node.children.push_back(std::move(child));
  }
}

// ---------------------------------------------------------------------------
// Reading ahead

// Takes the queued directory that the merge will enter first, if any, for
// reading; under the lock.
static Node* take_queued(ReadAhead& ahead) {
  if (ahead.queue.empty()) return nullptr;
  Node* node = *ahead.queue.begin();
  ahead.queue.erase(ahead.queue.begin());
  node->state = Node::Reading;
  return node;
}

// Queues the subdirectories of `node` from its `entered`th on, while the
// window has room; under the lock.  Gives how many it queued.
static std::size_t queue_children(ReadAhead& ahead, Node& node,
                                  std::size_t entered) {
  std::size_t queued = 0;
  node.next_queued = std::max(node.next_queued, entered);
  while (ahead.outstanding < ahead.window &&
         node.next_queued < node.children.size()) {
    Node* child = node.children[node.next_queued++].get();
    child->state = Node::Queued;
    ahead.queue.insert(child);
    ++ahead.outstanding;
    ++queued;
  }
  return queued;
}

// Takes queued directories and reads them until told to stop.  A directory
// read has its own subdirectories queued in turn, so that reading ahead goes
// deeper than the merge has come.
static void work(ReadAhead& ahead) {
  auto buffer = std::make_unique<char[]>(kListingBufferSize);
  std::unique_lock lock(ahead.mutex);
  while (true) {
    ahead.work.wait(lock, [&] { return ahead.stop || !ahead.queue.empty(); });
    if (ahead.stop) return;
    Node* node = take_queued(ahead);
    lock.unlock();
    read_node(*node, buffer.get());
    lock.lock();
    node->state = Node::Read;
    ahead.done.notify_one();
    if (queue_children(ahead, *node, 0) > 0) ahead.work.notify_one();
  }
}

// Starts up to `count` workers; as many as the system gives.
static void start_workers(ReadAhead& ahead, int count) {
  for (int i = 0; i < count; ++i) {
    try {
      ahead.workers.emplace_back(work, std::ref(ahead));
    } catch (const std::system_error&) {
      break;
    }
  }
}

// Stops the workers once they have finished the directory in hand.
static void stop_workers(ReadAhead& ahead) {
  {
    std::lock_guard lock(ahead.mutex);
    ahead.stop = true;
  }
  ahead.work.notify_all();
  for (std::thread& worker : ahead.workers) worker.join();
  ahead.workers.clear();
}

// Queues the subdirectories next in walk order, while the window has room:
// those of the innermost directory first, then those of the ones above.
static void queue_ahead(Walk& walk) {
  ReadAhead& ahead = *walk.ahead;
  std::size_t queued = 0;
  {
    std::lock_guard lock(ahead.mutex);
    for (auto frame = walk.frames.rbegin(); frame != walk.frames.rend();
         ++frame) {
      queued += queue_children(ahead, *frame->node, frame->next_child);
    }
  }
  if (queued == 1) ahead.work.notify_one();
  if (queued > 1) ahead.work.notify_all();
}

// Makes sure `node` has been read, by a worker or here.  While a worker is
// still reading it, the merge reads the next queued directories itself, and
// waits only when there are none.
static void obtain(Walk& walk, Node& node, char* buffer) {
  bool read_here = true;
  if (walk.ahead != nullptr) {
    ReadAhead& ahead = *walk.ahead;
    std::unique_lock lock(ahead.mutex);
    if (node.state != Node::Waiting) --ahead.outstanding;
    if (node.state == Node::Queued) {
      // Taken from the queue here, so that no worker meets it after the
      // merge has left it and it is gone.
      ahead.queue.erase(&node);
    }
    while (node.state == Node::Reading) {
      Node* other = take_queued(ahead);
      if (other == nullptr) {
        ahead.done.wait(lock, [&] { return node.state == Node::Read; });
        break;
      }
      lock.unlock();
      read_node(*other, buffer);
      lock.lock();
      other->state = Node::Read;
    }
    read_here = node.state != Node::Read;
    node.state = Node::Read;
  }
  if (read_here) read_node(node, buffer);
}

// ---------------------------------------------------------------------------
// The merge

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

std::int64_t get_file_time_sec(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) fatal(time_failure(path));
  return st.st_mtim.tv_sec;
}

// Records a symbolic link to a regular file under its target's key, unless
// the target lies outside the tree.
static void record_link(Walk& walk, std::int64_t seconds) {
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
  record_time(walk.files, key.native(), seconds);
}

// The processors this process may run on.
static int usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The time this thread has spent on the processor.
static std::chrono::nanoseconds thread_cpu_time() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec);
}

static std::chrono::nanoseconds wall_time() {
  return std::chrono::steady_clock::now().time_since_epoch();
}

// Starts workers once the merge is seen waiting (for the disk, the network
// or the processor), where reading ahead pays, and doubles them while it
// keeps waiting, as far as `more_workers` allows.  The window is long enough
// that the short stalls of a warm walk do not count: early on, both trees'
// tables grow and give back memory, and each such change stops the other
// tree's thread for a moment.
static void add_workers_if_waiting(Walk& walk) {
  std::chrono::nanoseconds wall = wall_time();
  std::chrono::nanoseconds passed = wall - walk.wall_mark;
  if (passed < kWaitWindow) return;
  std::chrono::nanoseconds cpu = thread_cpu_time();
  std::chrono::nanoseconds waited = passed - (cpu - walk.cpu_mark);
  walk.wall_mark = wall;
  walk.cpu_mark = cpu;
  if (waited * 2 < passed) return;
  ReadAhead& pool = *walk.pool;
  int running = static_cast<int>(pool.workers.size());
  int count = std::min(walk.more_workers, std::max(running, kWorkers));
  int remaining = walk.more_workers - count;
  start_workers(pool, count);
  int started = static_cast<int>(pool.workers.size()) - running;
  // Where the system gives no more threads, none are asked for again.
  walk.more_workers = started == count ? remaining : 0;
  if (!pool.workers.empty()) walk.ahead = &pool;
}

// Enters directory `node`, whose entry is the current one, once it is read.
static void enter(Walk& walk, Node& node, char* buffer) {
  obtain(walk, node, buffer);
  if (walk.more_workers > 0) add_workers_if_waiting(walk);
  if (node.open_error != 0) {
    walk.out_of_descriptors = is_out_of_descriptors(node.open_error);
    return fail_access(walk, node.open_error);
  }
  Frame& frame = walk.frames.emplace_back();
  frame.node = &node;
  frame.prefix = walk.rel.size();
  if (walk.ahead != nullptr) queue_ahead(walk);
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
  const Node& node = *frame.node;
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
      record_time(walk.files, walk.rel, item.seconds);
      break;
    case ItemKind::Link:
      record_link(walk, item.seconds);
      break;
    case ItemKind::Directory:
      enter(walk, *node.children[frame.next_child++], buffer);
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
    for (std::size_t i = frame.next_child; i < children.size(); ++i) {
      close_unentered(*children[i]);
    }
    close(frame.node->fd);
  }
  walk.frames.clear();
}

// Directories that one tree may read ahead: a quarter of the open files the
// process may hold beyond a reserve, so that the two trees' windows, their
// workers and their descents fit, and the limit never strikes because of
// reading ahead.
static std::size_t window_of_process() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  rlim_t room = limit.rlim_cur > 256 ? (limit.rlim_cur - 256) / 4 : 16;
  return static_cast<std::size_t>(std::min<rlim_t>(room, kMaxWindow));
}

// Opens the root of a scan for reading: the directory of `root_fd`, a handle
// held on it, or by its path where there is none.  The handle is reopened
// through /proc, which asks for read permission only, as opening the path
// does; only where /proc is missing is the path opened and checked to lead
// to the same directory.
static int open_root(const std::string& root, int root_fd) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (root_fd < 0) return open(root.c_str(), kFlags);
  int fd = open(("/proc/self/fd/" + std::to_string(root_fd)).c_str(), kFlags);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = open(root.c_str(), kFlags);
  struct stat held, opened;
  if (fd >= 0 &&
      (fstat(root_fd, &held) != 0 || fstat(fd, &opened) != 0 ||
       held.st_dev != opened.st_dev || held.st_ino != opened.st_ino)) {
    close(fd);
    errno = ENOENT;
    return -1;
  }
  return fd;
}

// One scan of `root` (through `root_fd`, if not -1), with `workers` reading
// ahead; `alone` tells that no other scan runs beside it.  Gives nullopt
// where the descriptors ran out while workers or another scan held some.
static std::optional<ScanResult> scan_with(const std::string& root, int root_fd,
                                           ScanCounter* found,
                                           const std::atomic<bool>* cancel,
                                           int workers, bool alone) {
  Walk walk;
  walk.root = root;
  walk.found = found;
  walk.cancel = cancel;
  walk.root_node = std::make_unique<Node>();
  walk.root_node->fd = open_root(root, root_fd);
  if (walk.root_node->fd < 0)
    return ScanResult{nullptr, {}, open_failure(root, errno)};
  ReadAhead ahead;
  ahead.window = window_of_process();
  if ((KALVERN_SCAN_WORKERS_AT_ONCE || usable_cores() > (alone ? 1 : 2)) &&
      workers > 0) {
    start_workers(ahead, workers);
  }
  if (!ahead.workers.empty()) walk.ahead = &ahead;
  if (workers > 0) {
    walk.pool = &ahead;
    // Beyond the first workers, more pay only where each listing waits for
    // a round trip; on a local disk they only crowd it.
    bool grows =
        KALVERN_SCAN_WORKERS_AT_ONCE || is_round_trip_fs(walk.root_node->fd);
    int most = grows ? kMaxWorkers : workers;
    walk.more_workers =
        std::max(0, most - static_cast<int>(ahead.workers.size()));
    walk.wall_mark = wall_time();
    walk.cpu_mark = thread_cpu_time();
  }
  merge(walk);
  if (walk.ahead != nullptr) stop_workers(ahead);
  close_all(walk);
  if (walk.out_of_descriptors && (workers > 0 || !alone)) return std::nullopt;
  if (!walk.failure.empty())
    return ScanResult{nullptr, {}, std::move(walk.failure)};
  return ScanResult{std::move(walk.storage), std::move(walk.files), {}};
}

ScanResult scan_directory(const std::string& root, ScanCounter* found) {
  std::optional<ScanResult> scan =
      scan_with(root, -1, found, nullptr, kWorkers, true);
  if (!scan) scan = scan_with(root, -1, found, nullptr, 0, true);
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
      right = scan_with(right_root, right_fd, right_found, &left_failed,
                        kWorkers, false);
    });
  } catch (const std::system_error&) {
  }
  std::optional<ScanResult> left =
      scan_with(left_root, left_fd, left_found, nullptr, kWorkers,
                !right_thread.has_value());
  if (left && !left->failure.empty()) left_failed = true;
  if (right_thread) right_thread->join();
  // A scan that ran out of descriptors beside the other one is repeated
  // alone and without workers, as the plain walk would have met the limit.
  // The results are moved into place, never assigned: an assigned table
  // would copy every node out of its storage.
  if (!left) left = scan_with(left_root, left_fd, left_found, nullptr, 0, true);
  if (!left->failure.empty()) return TreeScans{std::move(*left), {}};
  if (!right) {
    right = scan_with(right_root, right_fd, right_found, nullptr, 0, true);
  }
  return TreeScans{std::move(*left), std::move(*right)};
}
