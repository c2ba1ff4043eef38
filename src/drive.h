// drive.h: whether a tree lies on a drive that people carry about (a USB
// stick, a memory card), where copies are read back before they replace
// anything.
#pragma once
#include <string>
#include <vector>

#include "fskind.h"

/// A block device beneath a file system, as /sys describes it.
struct BlockDevice {
  std::string sys_path;    // its real path below /sys/devices
  bool removable = false;  // the kernel marks it, or its disk, removable
};

/// What tells a carried drive from a fixed disk.
struct DriveFacts {
  FsKind kind = FsKind::Other;       // FAT, exFAT or another
  std::string mount_type;            // in /proc/self/mountinfo; "" if unread
  std::vector<BlockDevice> devices;  // the device beneath, and its own
  std::string device_node;  // the device's node in /dev, or "" if none
};

/// Whether a file system with `facts` lies on a carried drive: FAT, exFAT,
/// a FUSE block mount, or a device attached through USB or an SD/MMC slot
/// or marked removable.
bool is_carried_drive(const DriveFacts& facts);
/// The facts of the file system of the open `fd`, of kind `kind`: from
/// stat, the mount where the device number does not tell, and /sys.
DriveFacts drive_facts_of(int fd, FsKind kind);
