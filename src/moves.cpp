// moves.cpp: deleted files that become copies of the same bytes.
//
// Where the answer deletes one-sided files of a tree and copies others into
// it, a copy whose source has the size and time of a file to delete is made
// by renaming that file into the copy's place, once their bytes have been
// compared (see filecopy.cpp).  The planning thread decides which file a
// copy may take; no file serves two copies.  Two orders occur:
//   - the deletions come first (l): a file that a later copy may take is
//     not deleted but renamed to a temporary name at the tree's root, so
//     that its directory is pruned as if it were gone; what no copy took
//     is deleted at the end, or at an interrupt;
//   - the copies come first (r): a copy takes the file from its own path
//     before its deletion line is written, and the deletion then only
//     reports it.  Until then a directory that held it counts as holding
//     it; an interrupt, or a copy that fails, puts it back with its mode
//     and times, so that every file gone has its deletion line.

#include "moves.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "filecopy.h"
#include "fskind.h"
#include "madedirs.h"
#include "path.h"

bool is_wanted(const Moves& moves, std::int64_t seconds) {
  for (std::int64_t shift = -moves.slack; shift <= moves.slack; ++shift) {
    if (moves.wanted.count(seconds + shift) != 0) return true;
  }
  return false;
}

Move& add_move(Moves& moves, const Tree& tree, const std::string& path,
               std::int64_t seconds) {
  Move& move = moves.all.emplace_back();
  move.tree = &tree;
  move.own_path = path;
  move.path = path;
  move.seconds = seconds;
  return move;
}

void offer_move(Moves& moves, Move& move) {
  moves.by_size[move.size].push_back(&move);
}

// Reads the size of the regular file of `move`; -1 where it is none.
static void read_size(Move& move) {
  int dir_fd = open_beneath(*move.tree, parent_of(move.path));
  if (dir_fd < 0) return;
  struct stat st;
  if (fstatat(dir_fd, name_of(move.path).c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
          0 &&
      S_ISREG(st.st_mode) && st.st_nlink == 1) {
    move.size = st.st_size;
  }
  close(dir_fd);
}

void size_moves(Moves& moves, Workers& workers) {
  for (Move& move : moves.all) {
    if (move.size < 0) run_job(workers, move.running, [&move] { read_size(move); });
  }
  wait_idle(workers);
  for (Move& move : moves.all) {
    if (move.size >= 0) offer_move(moves, move);
  }
}

bool hold_file(Move& move, int dir_fd, const std::string& name,
               const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || move.tree->fd < 0) {
    return false;
  }
  for (int tries = 0; tries < 100; ++tries) {
    std::string held = next_temp_name();
    if (rename_without_replacing(dir_fd, name, move.tree->fd, held)) {
      move.path = held;
      move.size = st.st_size;
      move.held = true;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Whether `move` may be reserved for a copy of a file of time `seconds`.
static bool is_free_for(const Moves& moves, const Move& move,
                        std::int64_t seconds) {
  return !move.reserved && !move.taken &&
         times_match(move.seconds, seconds, moves.slack);
}

Move* reserve_move(Moves& moves, off_t size, std::int64_t seconds,
                   const std::string& name) {
  auto found = moves.by_size.find(size);
  if (found == moves.by_size.end()) return nullptr;
  // A file of a renamed folder keeps its name: that one first.
  Move* chosen = nullptr;
  for (Move* move : found->second) {
    if (!is_free_for(moves, *move, seconds)) continue;
    if (chosen == nullptr) chosen = move;
    if (name_of(move->own_path) == name) {
      chosen = move;
      break;
    }
  }
  if (chosen != nullptr) {
    chosen->reserved = true;
    moves.reserved_any = true;
  }
  return chosen;
}

void release_move(Move& move) { move.reserved = false; }

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
    if (move.taken && !move.held && !move.reported) {
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
  if (moves.taken.erase(move.own_path) != 0) count_below(moves, move, -1);
}

bool holds_taken(const Moves& moves, const Tree& tree, const std::string& dir) {
  if (moves.tree != &tree) return false;
  auto found = moves.taken_below.find(dir);
  return found != moves.taken_below.end() && found->second > 0;
}

bool put_back(Move& move) {
  if (!move.taken || move.held || move.reported) return false;
  int from = open_beneath(*move.tree, move.at_parent);
  int to = open_beneath(*move.tree, parent_of(move.own_path));
  std::string name = name_of(move.own_path);
  if (from >= 0 && to >= 0 &&
      rename_without_replacing(from, move.at_name, to, name)) {
    // Owner first: a change of owner clears set-ID bits.
    fchownat(to, name.c_str(), move.before.st_uid, move.before.st_gid,
             AT_SYMLINK_NOFOLLOW);
    fchmodat(to, name.c_str(), move.before.st_mode & 07777, 0);
    timespec times[2] = {move.before.st_atim, move.before.st_mtim};
    utimensat(to, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    move.taken = false;
  }
  if (from >= 0) close(from);
  if (to >= 0) close(to);
  return !move.taken;
}

// Deletes the held file of `move`, which no copy took.
static void drop_one(Move& move) {
  if (move.held && !move.taken && move.tree->fd >= 0) {
    unlinkat(move.tree->fd, move.path.c_str(), 0);
  }
}

void drop_held(Moves& moves, Workers& workers) {
  for (Move& move : moves.all) {
    if (move.held && !move.taken) {
      run_job(workers, move.running, [&move] { drop_one(move); });
    }
  }
  wait_idle(workers);
  for (Move& move : moves.all) move.held = move.held && move.taken;
}

void undo_moves(Moves& moves) {
  for (auto move = moves.all.rbegin(); move != moves.all.rend(); ++move) {
    if (put_back(*move)) {
      remove_made_dirs(*move->tree, move->at_parent, move->created);
    }
    drop_one(*move);
  }
}
