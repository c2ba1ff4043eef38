// moves.cpp: deleted files that become copies of the same bytes.
//
// Where the answer deletes one-sided files of a tree and copies others into
// it, a copy whose source has the size and time of a file to delete is made
// by renaming that file into the copy's place, once their bytes have been
// compared (see reuse.cpp).  The planning thread decides which file a
// copy may take; no file serves two copies.  Two orders occur:
//   - the deletions come first (l): a file of the size and time of a later
//     copy's source is not deleted but renamed to a temporary name at the
//     tree's root, so that its directory is pruned as if it were gone; what
//     no copy took is deleted at the end, or at an interrupt;
//   - the copies come first (r): a copy takes the file from its own path
//     before its deletion line is written, and the deletion then only
//     reports it.  Until then a directory that held it counts as holding
//     it.  A copy that fails puts it back; an interrupt puts back what is
//     not yet in place and writes anew, beside a copy in place, the file it
//     was taken from, with its owner, mode and times, so that every file
//     gone has its deletion line and every copy made stays.
// The room the copies may use is counted as copying would leave it.

#include "moves.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "casefold.h"
#include "handles.h"
#include "madedirs.h"
#include "output.h"
#include "path.h"
#include "placing.h"
#include "putback.h"

// Free inodes below which no file is held: copies may need them all.
constexpr std::uint64_t kHoldInodes = 1024;

// The key of a file by size and time, and by name too.
static std::string key_of(off_t size, std::int64_t seconds) {
  return std::to_string(size) + ':' + std::to_string(seconds);
}

bool is_wanted(const Moves& moves, off_t size, std::int64_t seconds) {
  if (size <= 0) return false;  // an empty file costs no writing
  for (std::int64_t shift = -moves.slack; shift <= moves.slack; ++shift) {
    if (moves.sources.count(key_of(size, seconds + shift)) != 0) return true;
  }
  return false;
}

// Whether a time within the slack of `seconds` is among `times`.
static bool has_time(const std::unordered_set<std::int64_t>& times,
                     std::int64_t seconds, std::int64_t slack) {
  for (std::int64_t shift = -slack; shift <= slack; ++shift) {
    if (times.count(seconds + shift) != 0) return true;
  }
  return false;
}

// Reads the size of the regular file `path` of `tree` into `size`, -1
// where it is none or has other links.
static void read_size(const Tree& tree, const std::string& path, off_t& size) {
  int dir_fd = open_beneath(tree, parent_of(path));
  if (dir_fd < 0) return;
  struct stat st;
  if (fstatat(dir_fd, name_of(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && st.st_nlink == 1) {
    size = st.st_size;
  }
  close(dir_fd);
}

// Withholds from the copies each file of `moves` whose path a copy of
// `copied` needs, as its own or as a directory on its way: copying meets
// it there until its deletion, and so does the run.  Paths are compared as
// a file system that ignores case would.
static void keep_needed_paths(Moves& moves,
                              const std::vector<ScannedFile>& copied) {
  std::unordered_map<std::string, Move*> by_path;
  for (Move& move : moves.all) {
    by_path.emplace(fold_case(move.own_path, CaseRule::Unicode), &move);
  }
  if (by_path.empty()) return;
  for (const ScannedFile& file : copied) {
    for (std::string path = fold_case(file.path, CaseRule::Unicode);
         !path.empty(); path = parent_of(path)) {
      auto found = by_path.find(path);
      if (found != by_path.end()) found->second->size = -1;
    }
  }
}

// Adds to `all` the record of the scanned file `file` of `tree`.
static Move& add_move(std::deque<Move>& all, const Tree& tree,
                      const ScannedFile& file) {
  Move& move = all.emplace_back();
  move.tree = &tree;
  move.own_path = move.path = file.path;
  move.seconds = file.seconds;
  move.inode = file.inode;
  return move;
}

// Adds to `all` the records of the files of `files` in `tree` whose time
// is within the slack of one of `times`, and reads their sizes on
// `workers`.
static void add_sized(std::deque<Move>& all, Workers& workers,
                      const Tree& tree, const std::vector<ScannedFile>& files,
                      const std::unordered_set<std::int64_t>& times,
                      std::int64_t slack) {
  for (const ScannedFile& file : files) {
    if (!has_time(times, file.seconds, slack)) continue;
    Move& move = add_move(all, tree, file);
    run_job(workers, move.running,
            [&move] { read_size(*move.tree, move.path, move.size); });
  }
  wait_idle(workers);
}

void plan_takes(Moves& moves, Workers& workers, const Tree& tree,
                const std::vector<ScannedFile>& deleted, const Tree& from,
                const std::vector<ScannedFile>& copied) {
  std::unordered_set<std::int64_t> deleted_times, copied_times;
  for (const ScannedFile& file : deleted) deleted_times.insert(file.seconds);
  for (const ScannedFile& file : copied) copied_times.insert(file.seconds);
  // The sources of copies with the time of a file to delete, sized.
  std::deque<Move> sources;
  add_sized(sources, workers, from, copied, deleted_times, moves.slack);
  for (const Move& source : sources) {
    if (source.size <= 0) continue;
    moves.sources.insert(key_of(source.size, source.seconds));
    moves.source_times.insert(source.seconds);
  }
  if (moves.keep_deleted || moves.sources.empty()) return;
  // The files to delete that copies may take, sized.
  add_sized(moves.all, workers, tree, deleted, copied_times, moves.slack);
  keep_needed_paths(moves, copied);
  for (Move& move : moves.all) {
    if (is_wanted(moves, move.size, move.seconds)) offer_move(moves, move);
  }
}

Move* keepable(Moves& moves, const Tree& tree, const ScannedFile& file) {
  if (moves.tree != &tree || !moves.keep_deleted || moves.hold_fd < 0 ||
      !has_time(moves.source_times, file.seconds, moves.slack)) {
    return nullptr;
  }
  return &add_move(moves.all, tree, file);
}

// Whether files may be held in a directory at the root `fd`: entries of
// the root may be removed (it is neither append-only nor immutable), and
// its file system has inodes to spare, as far as it tells.
static bool may_hold_at(int fd) {
  int dir = reopen_directory(fd);
  int flags = 0;
  struct statvfs vfs;
  bool removable = dir < 0 || ioctl(dir, FS_IOC_GETFLAGS, &flags) != 0 ||
                   (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) == 0;
  bool spare = dir < 0 || fstatvfs(dir, &vfs) != 0 || vfs.f_files == 0 ||
               vfs.f_favail >= kHoldInodes;
  if (dir >= 0) close(dir);
  return removable && spare;
}

bool open_hold(Moves& moves, const Tree& tree) {
  // Held files in a directory that cannot go, or that takes an inode a
  // copy needs, would be seen: they are deleted in place instead.
  if (tree.fd < 0 || !may_hold_at(tree.fd)) return false;
  for (;;) {
    std::string name = next_temp_name();
    if (mkdirat(tree.fd, name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    int fd = openat(tree.fd, name.c_str(),
                    O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    // Made here, and only the run's user may enter it: a file held in it is
    // no more open to others than in its own directory.  A file system
    // without modes gives every file of the mount the same owner and mode.
    if (fd >= 0 && fstat(fd, &st) == 0 &&
        (tree.modeless || (st.st_uid == geteuid() && (st.st_mode & 0077) == 0))) {
      moves.hold_name = name;
      moves.hold_fd = fd;
      return true;
    }
    if (fd >= 0) close(fd);
    unlinkat(tree.fd, name.c_str(), AT_REMOVEDIR);
    return false;
  }
}

bool hold_file(const Moves& moves, Move& move, int dir_fd,
               const std::string& name, const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || moves.hold_fd < 0 ||
      !is_wanted(moves, st.st_size, move.seconds)) {
    return false;
  }
  std::string held;
  if (!move_to_temp(dir_fd, name, moves.hold_fd, held, st)) return false;
  move.path = moves.hold_name + "/" + held;
  move.hold_fd = moves.hold_fd;
  move.size = st.st_size;
  move.device = st.st_dev;
  move.inode = st.st_ino;
  move.held = true;
  return true;
}

void offer_move(Moves& moves, Move& move) {
  moves.by_key[key_of(move.size, move.seconds)].push_back(&move);
  moves.by_name[key_of(move.size, move.seconds) + ':' + name_of(move.own_path)]
      .push_back(&move);
  if (move.held) moves.room_change += move.size;
}

// The last free record of `bucket`, reserved; those reserved or taken are
// dropped from its end on the way.  Null if none.
static Move* reserve_last(std::vector<Move*>* bucket) {
  while (bucket != nullptr && !bucket->empty()) {
    Move* move = bucket->back();
    if (!move->reserved && !move->taken) return move->reserved = true, move;
    bucket->pop_back();
  }
  return nullptr;
}

// The bucket of `key` in `map`, or null.
static std::vector<Move*>* bucket_of(
    std::unordered_map<std::string, std::vector<Move*>>& map,
    const std::string& key) {
  auto found = map.find(key);
  return found == map.end() ? nullptr : &found->second;
}

Move* reserve_move(Moves& moves, off_t size, std::int64_t seconds,
                   const std::string& name) {
  if (size <= 0) return nullptr;
  // A file of a renamed folder keeps its name: one of that name first.
  for (int by_name = 1; by_name >= 0; --by_name) {
    for (std::int64_t shift = -moves.slack; shift <= moves.slack; ++shift) {
      std::string key = key_of(size, seconds + shift);
      Move* move = by_name != 0 ? reserve_last(bucket_of(moves.by_name, key + ':' + name))
                                : reserve_last(bucket_of(moves.by_key, key));
      if (move != nullptr) return moves.reserved_any = true, move;
    }
  }
  return nullptr;
}

void release_move(Moves& moves, Move& move) {
  move.reserved = false;
  if (move.changed) return;  // written by another: it stays where it is
  if (move.held) moves.room_change -= move.size;  // offered again
  offer_move(moves, move);
}

void count_taken(Moves& moves, const Move& move) {
  // A held file now stands for the copy; one taken before its deletion
  // leaves the room that the copy's bytes would have taken.
  moves.room_change -= move.size;
}

// Adds `step` to the count of taken files below each directory that holds
// `move`.
static void count_below(Moves& moves, const Move& move, long step) {
  for (std::string dir = parent_of(move.own_path); !dir.empty();
       dir = parent_of(dir)) {
    moves.taken_below[dir] += static_cast<std::size_t>(step);
  }
}

void index_taken(Moves& moves) {
  moves.taken.clear();
  moves.taken_below.clear();
  if (!moves.reserved_any) return;
  for (Move& move : moves.all) {
    if ((move.taken || move.changed) && !move.held && !move.reported) {
      moves.taken.emplace(move.own_path, &move);
      count_below(moves, move, 1);
    }
  }
}

Move* taken_move(Moves& moves, const Tree& tree, const std::string& path) {
  auto found = moves.taken.find(path);
  if (found == moves.taken.end() || found->second->tree != &tree) {
    return nullptr;
  }
  return found->second;
}

void note_reported(Moves& moves, Move& move) {
  if (move.reported) return;
  move.reported = true;
  if (moves.taken.erase(move.own_path) == 0) return;
  count_below(moves, move, -1);
  if (!move.stuck) moves.room_change += move.size;  // as deleting it frees
}

bool holds_taken(const Moves& moves, const Tree& tree, const std::string& dir) {
  if (moves.tree != &tree) return false;
  auto found = moves.taken_below.find(dir);
  return found != moves.taken_below.end() && found->second > 0;
}

// Deletes the held file of `move`, which no copy took, from the directory
// of `moves` that holds it.
static void drop_one(const Moves& moves, Move& move) {
  if (!move.held || move.taken || moves.hold_fd < 0) return;
  std::string name = name_of(move.path);
  move.error = unlinkat(moves.hold_fd, name.c_str(), 0) == 0 ? 0 : errno;
  move.held = move.error != 0;
}

bool close_hold(Moves& moves) {
  if (moves.hold_fd < 0) return true;
  close(moves.hold_fd);
  moves.hold_fd = -1;
  // Emptied, it goes; one that still holds a file whose failed deletion
  // was reported is left to the next run, which removes it.
  int error = moves.tree->fd < 0 ? EBADF : 0;
  if (error == 0 &&
      unlinkat(moves.tree->fd, moves.hold_name.c_str(), AT_REMOVEDIR) != 0) {
    error = errno;
  }
  if (error == 0 || error == ENOENT || error == ENOTEMPTY) return true;
  return failed("Löschen von", full_path(moves.tree->root, moves.hold_name),
                error);
}

bool drop_held(Moves& moves, Workers& workers) {
  std::vector<Move*> dropped;
  for (Move& move : moves.all) {
    if (move.held && !move.taken && !move.reserved) {
      dropped.push_back(&move);
      run_job(workers, move.running, [&moves, &move] { drop_one(moves, move); });
    }
  }
  wait_idle(workers);
  bool ok = true;
  for (Move* move : dropped) {
    if (!move->held) moves.room_change -= move->size;
    if (move->error == 0) continue;
    // Its deletion line is written: what stands is its held name.
    ok = failed("Löschen von", full_path(move->tree->root, move->path),
                move->error);
    move->error = 0;
  }
  return ok;
}

void undo_moves(Moves& moves) {
  for (auto move = moves.all.rbegin(); move != moves.all.rend(); ++move) {
    drop_one(moves, *move);
    if (move->error != 0) {
      failed("Löschen von", full_path(move->tree->root, move->path),
             move->error);
    }
    if (!move->taken || move->held || move->reported) continue;
    std::string own = full_path(move->tree->root, move->own_path);
    if (move->installed) {
      if (!write_back(*move)) failed("Wiederherstellen von", own, errno);
      continue;
    }
    if (move->stuck || !rename_back(*move, -1)) {
      failed("Wiederherstellen von", own, move->stuck ? EEXIST : errno);
      continue;
    }
    move->taken = false;
    remove_made_dirs(*move->tree, move->at_parent, move->created);
  }
  close_hold(moves);
}
