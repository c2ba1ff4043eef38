// dirread.cpp: reads one directory of a tree whole and settles each entry.
//
// A directory is opened below its open parent, never through a symbolic
// link, and read whole (getdents64); each entry is then settled there: a
// regular file costs one fstatat relative to the open directory, a symbolic
// link one fstatat that follows it, an entry without a type from the listing
// one more to learn it.  A failure is kept with the entry it struck, for the
// merge to meet in the listing's order.  A large directory has its times
// fetched in inode order, which reads a cold inode table forwards.  Its
// subdirectories are laid out as nodes of their own, each with its place in
// the depth-first walk.  The merge calls this for the directories it reads
// itself, the read-ahead workers for the others.

#include "dirread.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "path.h"

namespace {

// Directories that are never descended into, matched byte for byte.
const char* const kExcludedDirNames[] = {"lost+found", "$RECYCLE.BIN",
                                         "System Volume Information",
                                         "Recovery", "RECYCLER"};

// Can be set when building, for measurements and tests.
#ifndef KALVERN_INODE_ORDER_FROM
#define KALVERN_INODE_ORDER_FROM 256
#endif
// Directories with at least this many entries have their times fetched in
// inode order.
constexpr std::size_t kInodeOrderFrom = KALVERN_INODE_ORDER_FROM;

}  // namespace

static bool is_excluded(const char* name) {
  for (const char* excluded : kExcludedDirNames) {
    if (std::strcmp(name, excluded) == 0) return true;
  }
  return false;
}

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

// Settles a regular file, or a symbolic link where `link` is set, by what
// it leads to: its time, or why it has none.  A link that leads nowhere or
// to anything but a regular file is passed over.
static void settle_target(int dir_fd, const char* name, bool link,
                          Item& item) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0) {
    bool gone = errno == ENOENT || errno == ENOTDIR || (link && errno == ELOOP);
    if (gone && link) return;
    item.kind = gone ? ItemKind::TimeFailed : ItemKind::AccessFailed;
    item.error = errno;
    return;
  }
  if (link && !S_ISREG(st.st_mode)) return;
  item.kind = link ? ItemKind::Link : ItemKind::File;
  item.seconds = st.st_mtim.tv_sec;
  item.ino = st.st_ino;
}

// Settles one entry of the listing by the type the listing gave it.
static void settle(int dir_fd, const char* name, Item& item) {
  if (is_temp_file_name(name)) {
    item.kind = ItemKind::Leftover;
    return;
  }
  int error = 0;
  unsigned char type = item.type;
  if (type == DT_UNKNOWN) type = query_type(dir_fd, name, error);
  if (error != 0) {
    item.kind = ItemKind::AccessFailed;
    item.error = error;
  } else if (type == DT_DIR) {
    if (!is_excluded(name)) item.kind = ItemKind::Directory;
  } else if (type == DT_REG) {
    settle_target(dir_fd, name, false, item);
  } else if (type == DT_LNK) {
    settle_target(dir_fd, name, true, item);
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
void read_node(Node& node, char* buffer) {
  if (node.fd < 0) {
    node.fd = openat(node.parent_fd, node.name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (node.fd < 0) {
      node.open_error = errno;
      return;
    }
  }
  struct stat st;
  if (fstat(node.fd, &st) == 0) node.id = {st.st_dev, st.st_ino};
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
    child->parent = &node;
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
