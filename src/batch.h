// batch.h: the copies whose temporary files are written, made durable
// together and then renamed into place, and the room they hold.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pendingcopy.h"
#include "workers.h"

/// Room on one file system, as the batch's copies hold it.
struct Room {
  std::vector<const Tree*> trees;  // the trees that lie on it
  dev_t device = 0;
  std::uint64_t free = 0;   // bytes free when the batch first asked
  std::uint64_t block = 1;  // the file system's block size
  std::uint64_t held = 0;   // bytes held by the batch's copies
  std::uint64_t kept = 0;   // bytes of files kept for copies, free to copying
  std::uint64_t inodes = 0;  // inodes free when the batch first asked
  std::uint64_t files = 0;   // new files of the batch's copies
  bool told = true;         // the file system tells its room (FUSE may not)
  bool tells_inodes = false;  // and its inodes
};

/// The copies of one batch: written (in `copies`) or being written.
struct Batch {
  std::vector<std::unique_ptr<PendingCopy>> copies;  // written, in order
  std::size_t count = 0;      // copies written or being written
  std::uint64_t bytes = 0;    // their sources' sizes
  std::vector<Room> rooms;    // one per file system written to
  // Bytes that `changed` holds beyond what copying would leave there (less
  // where negative), counted in its room as copying would have it.
  const Tree* changed = nullptr;
  std::int64_t room_change = 0;
};

/// Whether a copy may join a batch: Yes; Alone, only while no other copy is
/// being written, as the room left is close to what it needs (blocks for
/// directories and the file's own bookkeeping are not counted exactly, so
/// the copies are then written one by one, in the listing's order); No.
enum class Fit { Yes, Alone, No };

/// Whether `copy` may join `batch` within the batch's bounds of files and
/// bytes and the room left on its target's file system; an empty batch
/// takes any copy.
Fit fits_in_batch(Batch& batch, const PendingCopy& copy);
/// Counts `copy` in `batch` and holds the room it needs.
void hold_room(Batch& batch, PendingCopy& copy);
/// Whether the room that `copy`, counted in `batch`, would write into
/// leaves enough bytes and inodes to spare, files kept for copies not
/// counted as free, that writing it could not fail for want of room.
bool has_room_to_spare(Batch& batch, const PendingCopy& copy);
/// Gives up what `copy`, which failed before it was written, held.
void release_room(Batch& batch, const PendingCopy& copy);
/// Makes the copies of `batch` durable and visible, many at once on
/// `workers`, and writes their failures, phase by phase in the batch's order.
/// False if any of them failed; the failed ones stay in the batch.
bool finish_batch(Batch& batch, Workers& workers);
/// Closes the files of the batch's copies, many at once on `workers` where
/// a tree lies behind a network, whose every close waits for a round trip.
void close_batch(Batch& batch, Workers& workers);
/// Closes the files of the batch's copies and empties it.
void clear_batch(Batch& batch);
/// Removes the temporary files of `batch` that are not yet in place.
void discard_batch(Batch& batch);
