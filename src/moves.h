// moves.h: the planning of takes: which one-sided file that the answer
// deletes a copy of the same bytes into its tree may take instead of
// writing them again, the files held for copies, and what is left of them
// at the end.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "beneath.h"
#include "putback.h"
#include "workers.h"

/// A file of the listing: its path, and its time and inode as scanned.
struct ScannedFile {
  std::string path;
  std::int64_t seconds = 0;
  std::uint64_t inode = 0;
};

/// The files of one answer that copies may take, in the tree it changes.
struct Moves {
  const Tree* tree = nullptr;  // the tree deleted in and copied into
  std::int64_t slack = 0;      // seconds that times may differ by
  bool keep_deleted = false;   // the deletions come first: files are kept
  std::unordered_set<std::string> sources;  // sizes and times of the copies
  std::unordered_set<std::int64_t> source_times;  // their times alone
  std::deque<Move> all;
  // Those copies may take, by size and time, and by size, time and name.
  std::unordered_map<std::string, std::vector<Move*>> by_key, by_name;
  bool reserved_any = false;  // a copy may have taken one
  // Taken before their deletion lines: by path, and their directories with
  // the number of such files below each.
  std::unordered_map<std::string, Move*> taken;
  std::unordered_map<std::string, std::size_t> taken_below;
  // Bytes the tree holds beyond what copying would leave (held files), less
  // those copying would have written but taking did not (taken files).
  std::int64_t room_change = 0;
  // The directory at the tree's root, private to the run's user, that
  // holds the files kept for copies; -1 while there is none.
  std::string hold_name;
  int hold_fd = -1;
};

/// Plans the files of `deleted` (paths and scanned times in `tree`) that
/// the copies of `copied` (from `from`) may take: the copies' sources are
/// sized, many at once, and where the deletions come after the copies the
/// files to delete too.
void plan_takes(Moves& moves, Workers& workers, const Tree& tree,
                const std::vector<ScannedFile>& deleted, const Tree& from,
                const std::vector<ScannedFile>& copied);
/// Whether a file of `size` and time `seconds` may serve a copy of `moves`.
bool is_wanted(const Moves& moves, off_t size, std::int64_t seconds);
/// The record of the scanned file `file` of `tree`, to delete first and
/// keep for a copy; null where no copy has its time.
Move* keepable(Moves& moves, const Tree& tree, const ScannedFile& file);
/// Makes the private directory at the root of `tree` that holds the files
/// kept for copies; false where none can be made, and nothing is kept.
bool open_hold(Moves& moves, const Tree& tree);
/// Removes the directory of open_hold where it is empty; false after a
/// reported failure.
bool close_hold(Moves& moves);
/// Keeps the file `name` of `dir_fd`, with status `st`, at a temporary
/// name in the directory of open_hold instead of deleting it where a copy
/// may take it; false where it is not kept and must be deleted.  Runs on a
/// worker.
bool hold_file(const Moves& moves, Move& move, int dir_fd,
               const std::string& name, const struct stat& st);
/// Lets copies take the held `move`.
void offer_move(Moves& moves, Move& move);
/// A record of the size and time of the copy's source that no copy may
/// take yet, one of the same `name` first, reserved for it; null if none.
Move* reserve_move(Moves& moves, off_t size, std::int64_t seconds,
                   const std::string& name);
/// Gives `move`, which its copy did not take, back to later copies.
void release_move(Moves& moves, Move& move);
/// Counts `move`, which its copy took, in the tree's room.
void count_taken(Moves& moves, const Move& move);
/// Indexes the files that copies took before their deletion lines, and
/// those put back written by another, once the copies are done.
void index_taken(Moves& moves);
/// The record of `path` in `tree` that a copy took, or put back written by
/// another, not yet reported; null if none.
Move* taken_move(Moves& moves, const Tree& tree, const std::string& path);
/// Notes that the deletion line of `move` is written.
void note_reported(Moves& moves, Move& move);
/// Whether a file taken from directory `dir` of `tree` or below it waits
/// for its deletion line, so that the directory counts as holding it.
bool holds_taken(const Moves& moves, const Tree& tree, const std::string& dir);
/// Deletes the held files that no copy took or may take, many at once;
/// false after a reported failure.
bool drop_held(Moves& moves, Workers& workers);
/// After a signal: every file taken before its deletion line is at its own
/// path again (put back, or written anew beside a copy in place), and what
/// is held goes; failures are reported.
void undo_moves(Moves& moves);
