// fskind.cpp: which kind of file system a tree lies on.
//
// statfs names FAT and exFAT where the kernel drives them.  A FUSE mount
// only says "fuse": its type in /proc/self/mountinfo names the driver
// (fuse.fusefat), except for the block mounts of exfat-fuse and ntfs-3g,
// which are all "fuseblk"; for those the boot sector of the device tells,
// where this process may read it.  FAT and exFAT hold no modes, nor NTFS
// through ntfs-3g without permission mapping, which alone asks the kernel
// to check modes (default_permissions).

#include "fskind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace {

constexpr long kMsdosMagic = 0x4d44;
constexpr long kExfatMagic = 0x2011bab0;
// 1980-01-01 00:00:00 and 2107-12-31 23:59:59, UTC.
constexpr std::int64_t kFatFirstSecond = 315532800;
constexpr std::int64_t kFatLastSecond = 4354819199;

// Reads the fields of a mountinfo line; false if it has not the form.
bool parse_mount_line(const std::string& line, MountEntry& mount) {
  std::istringstream fields(line);
  std::string id, parent, field;
  if (!(fields >> id >> parent >> mount.device)) return false;
  while (fields >> field && field != "-") {
  }
  if (!(fields >> mount.type >> mount.source)) return false;
  fields >> mount.options;
  return true;
}

// The first sector of the block device `dev`, opened as
// /dev/block/<major>:<minor>, or else by the mount's source `path`, and
// only if that is the very device; with `image`, `path` may name a regular
// file too.  "" where it cannot be read.
std::string first_sector(dev_t dev, const std::string& path, bool image) {
  std::string by_number = "/dev/block/" + std::to_string(major(dev)) + ":" +
                          std::to_string(minor(dev));
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = open(by_number.c_str(), kFlags);
  if (fd < 0) fd = open(path.c_str(), kFlags);
  if (fd < 0) return "";
  struct stat st;
  bool named = fstat(fd, &st) == 0 &&
               ((S_ISBLK(st.st_mode) && st.st_rdev == dev) ||
                (image && S_ISREG(st.st_mode)));
  char sector[512];
  ssize_t n = named ? pread(fd, sector, sizeof sector, 0) : -1;
  close(fd);
  if (n != static_cast<ssize_t>(sizeof sector)) return "";
  return std::string(sector, sizeof sector);
}

// The kind of the block device `dev` by its boot sector; see first_sector.
FsKind kind_of_device(dev_t dev, const std::string& path) {
  return kind_of_boot_sector(first_sector(dev, path, false));
}

// Whether `options`, separated by commas, holds `option`.
bool has_option(std::string_view options, std::string_view option) {
  while (!options.empty()) {
    std::size_t comma = options.find(',');
    if (options.substr(0, comma) == option) return true;
    if (comma == std::string_view::npos) break;
    options.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

bool find_mount(dev_t dev, MountEntry& found) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string wanted =
      std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  bool any = false;
  MountEntry mount;
  for (std::string line; std::getline(mountinfo, line);) {
    if (parse_mount_line(line, mount) && mount.device == wanted) {
      found = mount;
      any = true;
    }
  }
  return any;
}

FsKind kind_of_mount_type(std::string_view type) {
  if (type.starts_with("fuse.")) type.remove_prefix(5);
  if (type == "vfat" || type == "msdos" || type == "fat" || type == "fusefat" ||
      type == "umsdos") {
    return FsKind::Fat;
  }
  if (type == "exfat" || type == "exfat-fuse") return FsKind::Exfat;
  return FsKind::Other;
}

FsKind kind_of_boot_sector(std::string_view sector) {
  if (sector.size() < 512 || sector.substr(510, 2) != "\x55\xaa") {
    return FsKind::Other;
  }
  if (sector.substr(3, 8) == "EXFAT   ") return FsKind::Exfat;
  if (sector.substr(3, 8) == "NTFS    ") return FsKind::Other;
  if (sector.substr(54, 3) == "FAT" || sector.substr(82, 5) == "FAT32") {
    return FsKind::Fat;
  }
  return FsKind::Other;
}

FsKind fs_kind_of(int fd) {
  struct statfs fs;
  struct stat st;
  if (fstatfs(fd, &fs) != 0 || fstat(fd, &st) != 0) return FsKind::Other;
  if (fs.f_type == kMsdosMagic) return FsKind::Fat;
  if (fs.f_type == kExfatMagic) return FsKind::Exfat;
  if (fs.f_type != kFuseMagic) return FsKind::Other;
  MountEntry mount;
  if (!find_mount(st.st_dev, mount)) return FsKind::Other;
  if (!mount.type.starts_with("fuseblk")) return kind_of_mount_type(mount.type);
  FsKind kind = kind_of_device(st.st_dev, mount.source);
  if (kind != FsKind::Other) return kind;
  // fuseblk.<driver>, where the driver names itself.
  std::string_view type = mount.type;
  return type.size() > 8 ? kind_of_mount_type(type.substr(8)) : FsKind::Other;
}

bool is_modeless_mount(FsKind kind, std::string_view type,
                       std::string_view options, bool ntfs) {
  if (kind != FsKind::Other) return true;
  if (type == "ntfs3" || type == "ntfs") {
    return has_option(options, "noacsrules");
  }
  bool fuse = type == "fuse" || type == "fuseblk" ||
              type.starts_with("fuse.") || type.starts_with("fuseblk.");
  return fuse && ntfs && !has_option(options, "default_permissions");
}

bool holds_no_modes(int fd, FsKind kind) {
  if (kind != FsKind::Other) return true;
  struct statfs fs;
  struct stat st;
  MountEntry mount;
  if (fstatfs(fd, &fs) != 0 || fstat(fd, &st) != 0 ||
      !find_mount(st.st_dev, mount)) {
    return false;
  }
  bool ntfs = false;
  if (fs.f_type == kFuseMagic &&
      !has_option(mount.options, "default_permissions")) {
    std::string sector = first_sector(st.st_dev, mount.source, true);
    ntfs = sector.size() == 512 && sector.compare(3, 8, "NTFS    ") == 0;
  }
  return is_modeless_mount(kind, mount.type, mount.options, ntfs);
}

// Whether a file system of statfs type `f_type` serves each request
// through a round trip.
static bool is_round_trip_type(unsigned long f_type) {
  switch (f_type) {
    case 0x6969:      // NFS
    case 0x517b:      // SMB
    case 0xfe534d42:  // SMB2
    case 0xff534d42:  // CIFS
    case 0x00c36400:  // Ceph
    case 0x01021997:  // 9P
    case 0x5346414f:  // AFS
    case kFuseMagic:  // sshfs, but also drivers of local drives
      return true;
    default:
      return false;
  }
}

bool is_round_trip_fs(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  return is_round_trip_type(static_cast<unsigned long>(fs.f_type));
}

std::int64_t time_slack(FsKind a, FsKind b) {
  return a == FsKind::Fat || b == FsKind::Fat ? 1 : 0;
}

bool times_match(std::int64_t a, std::int64_t b, std::int64_t slack) {
  if (a < b) std::swap(a, b);
  // a > b here, so for a slack of 0 or 1 a - slack cannot overflow.
  return a == b || a - slack <= b;
}

bool can_hold_time(FsKind kind, std::int64_t seconds) {
  if (kind == FsKind::Other) return true;
  return seconds >= kFatFirstSecond && seconds <= kFatLastSecond;
}

bool is_network_type(unsigned long f_type, std::string_view mount_type) {
  if (f_type != static_cast<unsigned long>(kFuseMagic)) {
    return is_round_trip_type(f_type);
  }
  return !mount_type.starts_with("fuseblk") &&
         kind_of_mount_type(mount_type) == FsKind::Other;
}

bool is_network_fs(int fd) {
  struct statfs fs;
  struct stat st;
  if (fstatfs(fd, &fs) != 0) return false;
  auto type = static_cast<unsigned long>(fs.f_type);
  MountEntry mount;
  if (type == static_cast<unsigned long>(kFuseMagic) &&
      (fstat(fd, &st) != 0 || !find_mount(st.st_dev, mount))) {
    return false;  // a FUSE mount that cannot be told: as a local one
  }
  return is_network_type(type, mount.type);
}
