// beneath.h: directories below a tree's root, opened and created without
// ever following a symbolic link.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "fskind.h"

struct PlacedCopies;

/// One tree of the run: its root as given and a handle opened on it.
struct Tree {
  std::string root;    // the root string, for the paths shown to the user
  int fd = -1;         // the root directory, opened as given; -1 if it failed
  int open_error = 0;  // errno of the failed opening
  FsKind kind = FsKind::Other;  // the file system the root lies on
  bool modeless = false;  // it holds no modes: FAT, exFAT, NTFS unmapped
  bool carried = false;  // on a USB stick or memory card: copies read back
  bool network = false;  // behind a network: each request a round trip
  std::string device;    // a carried drive's block device, or "" if none
  PlacedCopies* placed = nullptr;  // the run's copies put in place on it
};

/// Opens the root of a tree once and tells its file system's kind and drive;
/// below it no symbolic link is followed.
Tree open_tree(const std::string& root);
/// Whether a file of status `st` in `tree` is the one the scan saw with
/// inode `inode`: true where the scan saw none (0), and on file systems
/// whose inode numbers may change while mounted (FAT, exFAT).
bool is_scanned(const Tree& tree, std::uint64_t inode, const struct stat& st);
/// Whether the root's path still leads to the directory of its handle.
bool is_same_root(const Tree& tree);
/// Closes the handle of open_tree.
void close_tree(Tree& tree);
/// Told of each directory that open_components makes (private, mode 0700),
/// before anything goes into it: its parent's handle, its name, its path.
using MadeDir = std::function<void(int parent_fd, const std::string& name,
                                   const std::string& path)>;
/// Asked of each directory that open_components finds standing where it
/// would make one: its parent's handle, its name, its path; 0 where it may
/// be used, else the errno to fail with.
using FoundDir = std::function<int(int parent_fd, const std::string& name,
                                   const std::string& path)>;
/// Opens directory `relative_path` below `dir_fd` one component at a time,
/// creating missing ones with `create`, each told to `made`, those found
/// asked of `found`; -1 with errno set on failure, with the components
/// reached in `reached`.
int open_components(int dir_fd, const std::string& relative_path, bool create,
                    std::string& reached, const MadeDir& made = nullptr,
                    const FoundDir& found = nullptr);
/// Opens directory `relative_path` below the tree's root (O_PATH) without
/// following any symbolic link; -1 with errno set on failure.
int open_beneath(const Tree& tree, const std::string& relative_path);
/// Whether `error` means that a path was refused for crossing a link.
bool is_refused_path(int error);
