// readback.h: a copy read back from its drive and compared with its source,
// before it replaces anything on a carried drive.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Copies onto carried drives are read back; building with
// -DKALVERN_READ_BACK=0 leaves that out, for measurements.
#ifndef KALVERN_READ_BACK
#define KALVERN_READ_BACK 1
#endif
/// Whether copies onto carried drives are read back in this build.
constexpr bool kReadBack = KALVERN_READ_BACK != 0;
/// The reason given for a copy that the drive returns other bytes of.
inline constexpr char kDiffers[] = "Kopie auf dem Ziel weicht von der Quelle ab";

/// Reads `size` bytes at `offset` of `fd`, fewer only where the file ends;
/// the bytes read, or -1 with errno set.
ssize_t read_fully(int fd, char* buffer, std::size_t size, off_t offset);
/// Drops the cached pages of the synced copy `copy_fd` (open for reading,
/// with O_DIRECT or without)
/// and compares its bytes as the drive returns them with `size` bytes of
/// `source_fd`: 0 if equal, 1 if they differ or the copy is not `size`
/// long, -1 with errno set if a read failed.  `progress`, if set, hears the
/// bytes compared so far.
int read_back(int copy_fd, int source_fd, off_t size,
              const std::function<void(std::uint64_t)>& progress);
/// Compares `size` bytes of `copy_fd` with those of `source_fd`, as read_back
/// does, dropping the cached pages of `copy_fd` first only with `from_drive`.
int compare_bytes(int copy_fd, int source_fd, off_t size, bool from_drive,
                  const std::function<void(std::uint64_t)>& progress);
/// Opens `name` of `dir_fd` for reading back, with O_DIRECT where the file
/// system allows it; -1 with errno set on failure.
int open_from_drive(int dir_fd, const std::string& name);
/// Reads the synced file `name` in `dir_fd` back from its drive, past every
/// cache where the file system allows it, and compares it with `size` bytes
/// of `source_fd`, its progress on the status line of `target`; "" if they
/// are equal, else why not: kDiffers or the system's message.
std::string read_back_file(int dir_fd, const std::string& name, int source_fd,
                           off_t size, const std::string& target);
/// Drops the cached pages of the block device `device` where this process
/// may open it (root, the disk group), so that a FUSE driver reading
/// through them reads the drive; quietly nothing where it may not.
void drop_device_cache(const std::string& device);
