// drive.cpp: whether a tree lies on a drive that people carry about.
//
// USB sticks and memory cards may accept every write and return other
// bytes later; copies onto them are read back.  A drive counts as carried
// where its file system is FAT or exFAT or a FUSE block mount (ntfs-3g,
// exfat-fuse), or where /sys shows its block device attached through USB
// or an SD/MMC slot, or marked removable.  A partition looks at its disk,
// a device-mapper or RAID device (an encrypted stick) at the devices it
// rests on.  The facts are gathered once per tree; a file system without
// a block device (tmpfs, NFS, SMB, sshfs) has none to look at.

#include "drive.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

namespace {

// Devices that rest on devices that rest on ...: deeper is a loop.
constexpr int kMaxDepth = 4;

}  // namespace

bool is_carried_drive(const DriveFacts& facts) {
  if (facts.kind != FsKind::Other) return true;
  if (facts.mount_type.starts_with("fuseblk")) return true;
  for (const BlockDevice& device : facts.devices) {
    if (device.removable || device.sys_path.find("/usb") != std::string::npos ||
        device.sys_path.find("/mmc") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Whether the file `path` holds "1".
static bool holds_one(const std::string& path) {
  std::ifstream file(path);
  char first = 0;
  return file.get(first) && first == '1';
}

// Adds the block device of directory `sys_dir` in /sys and the devices it
// rests on, `depth` levels below the first.
static void add_device(const std::string& sys_dir, int depth,
                       std::vector<BlockDevice>& devices) {
  char real[PATH_MAX];
  if (depth > kMaxDepth || realpath(sys_dir.c_str(), real) == nullptr) return;
  BlockDevice device;
  device.sys_path = real;
  // A partition has no "removable" of its own; its disk, one level up, has.
  device.removable =
      holds_one(device.sys_path + "/removable") ||
      (access((device.sys_path + "/partition").c_str(), F_OK) == 0 &&
       holds_one(device.sys_path + "/../removable"));
  devices.push_back(device);
  DIR* slaves = opendir((device.sys_path + "/slaves").c_str());
  if (slaves == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(slaves)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(slaves);
  for (const std::string& name : names) {
    add_device(device.sys_path + "/slaves/" + name, depth + 1, devices);
  }
}

// Whether `path` names the block device `dev`.
static bool is_device_node(const std::string& path, dev_t dev) {
  struct stat st;
  return !path.empty() && path[0] == '/' && stat(path.c_str(), &st) == 0 &&
         S_ISBLK(st.st_mode) && st.st_rdev == dev;
}

// The block device that a mount's source names, or 0.
static dev_t device_of_source(const std::string& source) {
  struct stat st;
  if (source.empty() || source[0] != '/' || stat(source.c_str(), &st) != 0 ||
      !S_ISBLK(st.st_mode)) {
    return 0;
  }
  return st.st_rdev;
}

DriveFacts drive_facts_of(int fd, FsKind kind) {
  DriveFacts facts;
  facts.kind = kind;
  struct stat st;
  struct statfs fs;
  if (fstat(fd, &st) != 0 || fstatfs(fd, &fs) != 0) return facts;
  dev_t dev = st.st_dev;
  MountEntry mount;
  // FUSE names its driver only in the mount's type; a file system without
  // a device number of its own (btrfs, fusefat) may name its device as
  // the mount's source.
  if (fs.f_type == kFuseMagic || major(dev) == 0) {
    if (find_mount(dev, mount)) facts.mount_type = mount.type;
    if (major(dev) == 0) dev = device_of_source(mount.source);
  }
  if (major(dev) == 0) return facts;
  std::string numbers =
      std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  add_device("/sys/dev/block/" + numbers, 0, facts.devices);
  // The node udev makes for every block device, else the mount's source.
  std::string node = "/dev/block/" + numbers;
  if (!is_device_node(node, dev)) {
    if (mount.source.empty()) find_mount(st.st_dev, mount);
    node = mount.source;
  }
  if (is_device_node(node, dev)) facts.device_node = node;
  return facts;
}
