// placed.cpp: a counterfeit stick writes past its real size over earlier
// data, so a copy read back whole in one batch may be overwritten by the
// writes of a later one.  Once a read-back has caught a drive returning
// other bytes than were written, every copy this run put in place on it is
// read back at the end of the run.  One that differs now carries its
// source's time over other bytes, and no later run would copy it again:
// it is reported and given the earliest time FAT can hold, so that its
// source is listed as newer.  A drive on which every read-back matched is
// not read again.

#include "placed.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "beneath.h"
#include "pendingcopy.h"
#include "handles.h"
#include "interrupt.h"
#include "output.h"
#include "path.h"
#include "readback.h"

void note_placed(PlacedCopies& placed, const PendingCopy& copy) {
  placed.copies.push_back({copy.from, copy.to, copy.relative_path, copy.source,
                           copy.target, copy.device, copy.source_st});
}

void distrust_drive(PlacedCopies& placed, const PendingCopy& copy) {
  auto& drives = placed.distrusted;
  if (std::find(drives.begin(), drives.end(), copy.device) == drives.end()) {
    drives.push_back(copy.device);
  }
}

// 1 January 1980, 00:00:00 local time: the earliest time of FAT.
static timespec start_of_1980() {
  std::tm tm{};
  tm.tm_year = 80;
  tm.tm_mday = 1;
  tm.tm_isdst = -1;
  return {std::mktime(&tm), 0};
}

// Whether the open source `fd` is still the file that was copied.
static bool is_unchanged(int fd, const struct stat& copied) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_ino == copied.st_ino &&
         st.st_dev == copied.st_dev && st.st_size == copied.st_size &&
         st.st_mtim.tv_sec == copied.st_mtim.tv_sec &&
         st.st_mtim.tv_nsec == copied.st_mtim.tv_nsec;
}

// Opens the source of `copy` where it is still the file that was copied;
// -1 otherwise.
static int open_unchanged_source(const PlacedCopy& copy) {
  int dir = open_beneath(*copy.from, parent_of(copy.relative_path));
  if (dir < 0) return -1;
  struct stat st;
  int fd = open_regular(dir, name_of(copy.relative_path).c_str(), st);
  close(dir);
  if (fd >= 0 && !is_unchanged(fd, copy.source_st)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Opens `name` in `dir` where it is still the copy of a source with the
// status `copied`: a regular file with its time (FAT keeps even seconds);
// -1 otherwise.
static int open_the_copy(int dir, const std::string& name,
                         const struct stat& copied) {
  struct stat st;
  int fd = dir < 0 ? -1 : open_regular(dir, name.c_str(), st);
  if (fd < 0) return -1;
  time_t apart = st.st_mtim.tv_sec - copied.st_mtim.tv_sec;
  if (apart >= -1 && apart <= 1) return fd;
  close(fd);
  return -1;
}

// Reports `copy`, open as `fd`, for `reason` and sets its time back through
// that handle.
static void set_back(const PlacedCopy& copy, int fd, const std::string& reason) {
  report(copy_failure_line(copy.source, copy.target, reason));
  timespec times[2] = {start_of_1980(), start_of_1980()};
  if (futimens(fd, times) != 0) {
    report(failure_line("Setzen des Zeitstempels für", copy.target, errno));
  }
}

// Reads `copy` back and compares it with its source, where both are still
// the files of the copy; reports one that differs and sets its time back.
// False if it differed.
static bool recheck_copy(const PlacedCopy& copy) {
  int source = open_unchanged_source(copy);
  if (source < 0) return true;
  int dir = open_beneath(*copy.to, parent_of(copy.relative_path));
  std::string name = name_of(copy.relative_path);
  std::string reason;
  int fd = open_the_copy(dir, name, copy.source_st);
  if (fd >= 0) {
    reason =
        read_back_file(dir, name, source, copy.source_st.st_size, copy.target);
  }
  close(source);
  bool differs = !reason.empty() && !stop_requested();
  if (differs) set_back(copy, fd, reason);
  if (fd >= 0) close(fd);
  if (dir >= 0) close(dir);
  return !differs;
}

// Whether `device` is a drive not trusted.
static bool is_distrusted(const PlacedCopies& placed, dev_t device) {
  const auto& drives = placed.distrusted;
  return std::find(drives.begin(), drives.end(), device) != drives.end();
}

bool recheck_placed(const PlacedCopies& placed) {
  if (placed.distrusted.empty()) return true;
  std::vector<const Tree*> dropped;
  for (const PlacedCopy& copy : placed.copies) {
    if (!is_distrusted(placed, copy.device) ||
        std::find(dropped.begin(), dropped.end(), copy.to) != dropped.end()) {
      continue;
    }
    drop_device_cache(copy.to->device);
    dropped.push_back(copy.to);
  }
  begin_changes();
  bool ok = true;
  for (const PlacedCopy& copy : placed.copies) {
    if (stop_requested()) break;
    if (is_distrusted(placed, copy.device)) ok = recheck_copy(copy) && ok;
  }
  end_changes();
  return ok;
}
