// moves.h: one-sided files that the answer deletes, renamed into the place
// of a copy of the same bytes into their tree instead of writing them again.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "beneath.h"
#include "workers.h"

/// A file that the answer deletes and a copy into its tree may take.
struct Move {
  const Tree* tree = nullptr;
  std::string own_path;      // its path below the root, as the scan saw it
  std::string path;          // where it stands: `own_path`, or its held name
  std::int64_t seconds = 0;  // its time as the scan saw it
  off_t size = -1;           // its size; -1 while unknown
  bool held = false;         // deleted and reported, kept at the root
  bool reported = false;     // its deletion line is written
  bool reserved = false;     // a copy in flight may take it
  bool taken = false;        // a copy took it: at `at_parent`/`at_name`
  std::string at_parent, at_name;
  std::string created;       // the topmost directory made for that copy
  struct stat before {};     // its status when taken, to put it back
  std::atomic<bool> running{false};
};

/// The files of one answer that copies may take, in the tree it changes.
struct Moves {
  const Tree* tree = nullptr;  // the tree deleted in and copied into
  std::int64_t slack = 0;      // seconds that times may differ by
  bool keep_deleted = false;   // the deletions come first: files are kept
  std::unordered_set<std::int64_t> wanted;  // times of the copies into it
  std::deque<Move> all;
  std::unordered_map<off_t, std::vector<Move*>> by_size;  // may be taken
  bool reserved_any = false;  // a copy may have taken one
  // Taken before their deletion lines: by path, and their directories with
  // the number of such files below each.
  std::unordered_map<std::string, Move*> taken;
  std::unordered_map<std::string, std::size_t> taken_below;
};

/// Whether a file of time `seconds` may serve a copy of `moves`.
bool is_wanted(const Moves& moves, std::int64_t seconds);
/// A new record for the one-sided file `path` of `tree` with its scanned
/// time.
Move& add_move(Moves& moves, const Tree& tree, const std::string& path,
               std::int64_t seconds);
/// Reads the sizes of the records not yet sized, many at once, and lets
/// copies take them.
void size_moves(Moves& moves, Workers& workers);
/// Lets copies take `move`, whose size is known.
void offer_move(Moves& moves, Move& move);
/// Keeps the file `name` of `dir_fd`, with status `st`, at a temporary
/// name at its tree's root instead of deleting it; false where it is not
/// kept and must be deleted.  Runs on a worker.
bool hold_file(Move& move, int dir_fd, const std::string& name,
               const struct stat& st);
/// A record of the same size and time as the copy's source that no copy
/// may take yet, one of the same `name` first, reserved for it; null if
/// none.
Move* reserve_move(Moves& moves, off_t size, std::int64_t seconds,
                   const std::string& name);
/// Gives `move` back to later copies after the copy that reserved it
/// wrote its own bytes.
void release_move(Move& move);
/// Indexes the files that copies took before their deletion lines, once
/// the copies are done.
void index_taken(Moves& moves);
/// The record of `path` in `tree` that a copy took, not yet reported;
/// null if none.
Move* taken_move(Moves& moves, const Tree& tree, const std::string& path);
/// Notes that the deletion line of `move` is written.
void note_reported(Moves& moves, Move& move);
/// Whether a file taken from directory `dir` of `tree` or below it waits
/// for its deletion line, so that the directory counts as holding it.
bool holds_taken(const Moves& moves, const Tree& tree, const std::string& dir);
/// Puts a taken file back at its own path with its old mode and times,
/// after an interrupt or a failed copy, while its deletion is not reported;
/// false where it is not put back.
bool put_back(Move& move);
/// Deletes the held files that no copy took, many at once.
void drop_held(Moves& moves, Workers& workers);
/// After a signal: puts back what may go back and deletes what is held.
void undo_moves(Moves& moves);
