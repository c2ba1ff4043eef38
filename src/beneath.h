// beneath.h: directories below a tree's root, opened and created without
// ever following a symbolic link.
#pragma once
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "fskind.h"
#include "seendirs.h"

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
  // A drive through a FUSE block driver whose kind the run could not tell
  // (its device is not readable to an ordinary user): its modes are the
  // driver's, whatever it was asked for.
  bool unknown_drive = false;
  std::string device;    // a carried drive's block device, or "" if none
  PlacedCopies* placed = nullptr;  // the run's copies put in place on it
  uid_t owner = 0;       // the root's owner
  // The directories its scan saw, by which every path below the root is
  // checked; null where none is checked.
  const SeenDirs* seen = nullptr;
  MadeDirIds* made = nullptr;  // the directories the run made, if noted
  CheckedDirs* checked = nullptr;  // those checked and held open, if any
};

/// Opens the root of a tree once and tells its file system's kind and drive;
/// below it no symbolic link is followed.
Tree open_tree(const std::string& root);
/// Whether a file of status `st` in `tree` is the one the scan saw with
/// inode `inode`: true where the scan saw none (0), and on file systems
/// whose inode numbers may change while mounted (FAT, exFAT).
bool is_scanned(const Tree& tree, std::uint64_t inode, const struct stat& st);
/// Whether the directories below the tree's root are checked against what
/// its scan saw: where it saw them, on file systems with lasting inodes.
bool checks_dirs(const Tree& tree);
/// Whether the root's path still leads to the directory of its handle.
bool is_same_root(const Tree& tree);
/// Closes the handle of open_tree.
void close_tree(Tree& tree);
/// Told of each directory that open_components makes, before anything goes
/// into it: its handle (read-only), checked to be the run's own, private
/// and empty, and its path; 0 where it may be used, else the errno to fail
/// with.  A handle of -1 tells of one made but refused by that check: the
/// tree changed at its path all the same.
using MadeDir = std::function<int(int fd, const std::string& path)>;
/// Asked of each directory that open_components finds standing where it
/// would make one: its path, and its status read through the handle the
/// walk goes on from; 0 where it may be used, else the errno to fail with.
/// One that the scan did not see nor the run make is noted once accepted,
/// and must be that one from then on.
using FoundDir =
    std::function<int(const std::string& path, const struct stat& st)>;
/// Told of each directory below the root that a checked walk opens: its
/// place on the path (0: the first below the root), its status, whether the
/// scan saw it; 0 where the walk goes on, else the errno to fail with.
using EachDir = std::function<int(std::size_t depth, const struct stat& st,
                                  bool seen)>;
/// Opens directory `relative_path` below `dir_fd`, directory `base` of
/// `tree`, one component at a time, each checked as open_beneath does,
/// creating missing ones with `create`, each told to `made`, those found
/// asked of `found`; -1 with errno set on failure, with the components
/// reached in `reached`.
int open_components(const Tree& tree, int dir_fd, const std::string& base,
                    const std::string& relative_path, bool create,
                    std::string& reached, const MadeDir& made = nullptr,
                    const FoundDir& found = nullptr,
                    const EachDir& each = nullptr);
/// Opens directory `relative_path` below the tree's root (O_PATH) without
/// following any symbolic link; where the tree is checked, each directory
/// on the way must be the one its scan saw or the run made there (else
/// kDirReplaced); each is told to `each`, and where `each` is given and
/// the run notes what it makes, one that neither knows is refused too
/// (kDirReplaced).  -1 with errno set on failure.
int open_beneath(const Tree& tree, const std::string& relative_path,
                 const EachDir& each = nullptr);
/// A rule for open_beneath in `tree` that adds nothing: with it, a
/// directory that neither the scan saw nor the run made or noted is
/// refused; null where the tree is not checked so.
EachDir known_dirs_only(const Tree& tree);
/// Lets go of directory `path` of `tree` and of those below it, held open
/// since they were checked: the run has removed it.
void forget_checked_dir(const Tree& tree, const std::string& path);
/// Closes the directories of `tree` held open since they were checked.
void close_checked_dirs(const Tree& tree);
/// Whether `error` means that a path was refused: for crossing a link, or a
/// directory not the one seen, or another user's.
bool is_refused_path(int error);
