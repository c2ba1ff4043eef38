// dirread.h: one directory of a tree read whole, its entries' types and
// times settled, and its subdirectories laid out for the walk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "seendirs.h"

/// Bytes of a listing read at once: the size of read_node's `buffer`.
constexpr std::size_t kListingBufferSize = 32 * 1024;

/// What one entry of a directory turned out to be.
enum class ItemKind : unsigned char {
  Skip,          // passed over: a pipe, a dangling link
  File,          // a regular file, recorded under its names
  Link,          // a symbolic link to a regular file
  Directory,     // a subdirectory to descend into
  AccessFailed,  // its type or time could not be read: `error`
  TimeFailed,    // a regular file gone before its time was read
  Leftover,      // a temporary name of a run of this program, of any type
};

/// One entry of a directory, as read.
struct Item {
  std::uint32_t name;  // offset of its name in the listing's `names`
  std::uint32_t name_length;
  ItemKind kind;
  unsigned char type;  // as the listing gave it
  int error;
  std::int64_t seconds;
  std::uint64_t ino;  // as listed; a file's as its status gives it
};

/// One directory of the walk: opened and read by a worker or by the merge.
struct Node {
  Node* parent = nullptr;  // the directory it lies in; null for the root
  int parent_fd = -1;      // the open parent; -1 for the root
  std::string name;        // below the parent
  int fd = -1;             // the directory, open until the merge leaves it
  DirId id;                // the directory's identity, as it was opened
  int open_error = 0;      // errno of a failed opening
  int read_error = 0;      // errno of a failed read, after the items read
  bool first_read_failed = false;  // the very first read failed
  std::vector<Item> items;
  std::string names;
  std::vector<std::unique_ptr<Node>> children;  // its subdirectories
  std::size_t next_child = 0;   // the next subdirectory the merge enters
  std::size_t next_queued = 0;  // the next child to read ahead
  // Its place in the depth-first walk: the indices of the subdirectories
  // that lead to it, four bytes each, highest first, so that comparing
  // two places as strings gives the order in which the merge enters them.
  std::string place;
  enum State { Waiting, Queued, Reading, Read } state = Waiting;
};

/// Opens `node` below its parent, unless open, and reads and settles it.
void read_node(Node& node, char* buffer);
