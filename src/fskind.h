// fskind.h: which kind of file system a tree lies on, for the clock and the
// range of times that FAT and exFAT keep, and whether it holds modes.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

/// statfs's f_type of every FUSE file system.
constexpr long kFuseMagic = 0x65735546;

/// The kinds of file system whose times need care; Other for the rest.
enum class FsKind { Other, Fat, Exfat };

/// One line of /proc/self/mountinfo, the fields needed here.
struct MountEntry {
  std::string device;  // major:minor
  std::string type;    // "ext4", "fuseblk", "fuse.fusefat", ...
  std::string source;  // "/dev/sdb1", "server:/export", ...
  std::string options;  // the file system's own: "rw,user_id=0,..."
};

/// The last mount of device `dev` in /proc/self/mountinfo, the one on top;
/// false if there is none.
bool find_mount(dev_t dev, MountEntry& found);
/// The kind of file system that the open file or directory `fd` lies on:
/// from statfs, the mount's type, and for a FUSE block mount its device's
/// signature; Other where it cannot be told.
FsKind fs_kind_of(int fd);
/// Whether the file system of `fd` serves each request through a round trip
/// (NFS, SMB, Ceph, 9P, FUSE and the like) rather than from a local disk.
bool is_round_trip_fs(int fd);
/// Whether a file system of statfs type `f_type`, mounted as `mount_type`
/// (from /proc/self/mountinfo), lies behind a network: a round-trip file
/// system other than a FUSE driver of a local drive or image.
bool is_network_type(unsigned long f_type, std::string_view mount_type);
/// is_network_type for the file system of `fd`.
bool is_network_fs(int fd);
/// The kind named by a mount's type in /proc/self/mountinfo ("vfat",
/// "fuse.fusefat", "exfat", ...); Other for "fuseblk" and every other type.
FsKind kind_of_mount_type(std::string_view type);
/// The kind named by the first sector of a block device, by the signature
/// of its boot sector; Other where it has none of FAT's or exFAT's.
FsKind kind_of_boot_sector(std::string_view sector);
/// Whether a file system of kind `kind`, mounted as `type` with the options
/// `options` (both from /proc/self/mountinfo), holds no modes of its own:
/// FAT, exFAT, NTFS through FUSE (`ntfs`: its first sector says so) without
/// permission mapping, ntfs3 with noacsrules.
bool is_modeless_mount(FsKind kind, std::string_view type,
                       std::string_view options, bool ntfs);
/// is_modeless_mount for the file system of `fd`, of kind `kind`.
bool holds_no_modes(int fd, FsKind kind);
/// Seconds by which two times of a file may differ and still count as
/// equal, where either tree lies on a file system of kind `a` or `b`: 1 on
/// FAT, whose clock goes in steps of two seconds, else 0.
std::int64_t time_slack(FsKind a, FsKind b);
/// Whether times `a` and `b` are at most `slack` (0 or 1) seconds apart.
bool times_match(std::int64_t a, std::int64_t b, std::int64_t slack);
/// Whether a file system of kind `kind` can hold the modification time
/// `seconds`: FAT and exFAT only from 1980 to 2107.
bool can_hold_time(FsKind kind, std::int64_t seconds);
