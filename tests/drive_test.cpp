// Tests of telling carried drives (USB sticks, memory cards) from fixed
// disks, by the kind of file system, the mount's type and what /sys says
// of the block devices beneath.

#include "drive.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <ostream>
#include <string>

#include "beneath.h"
#include "test_util.h"

namespace {

struct DriveRow {
  std::string name;
  DriveFacts facts;
  bool expected;
};

void PrintTo(const DriveRow& row, std::ostream* out) { *out << row.name; }

class CarriedDriveTest : public ::testing::TestWithParam<DriveRow> {};

TEST_P(CarriedDriveTest, DecidesByKindMountAndDevice) {
  EXPECT_EQ(is_carried_drive(GetParam().facts), GetParam().expected);
}

const std::string kPci = "/sys/devices/pci0000:00/";
const std::string kUsbDisk =
    kPci + "0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
const std::string kSdCard =
    "/sys/devices/platform/soc/fe340000.mmc/mmc_host/mmc0/mmc0:aaaa/block/"
    "mmcblk0";
const std::string kSata =
    kPci + "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
const std::string kNvme = kPci + "0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1";
const std::string kVirtio = kPci + "0000:00:04.0/virtio1/block/vda";

// Facts of a file system of type `type` on the devices `devices`.
DriveFacts on(const std::string& type, std::vector<BlockDevice> devices = {},
              FsKind kind = FsKind::Other) {
  return DriveFacts{kind, type, std::move(devices), ""};
}

INSTANTIATE_TEST_SUITE_P(
    Drives, CarriedDriveTest,
    ::testing::Values(
        DriveRow{"VfatOnSata", on("", {{kSata + "/sda1"}}, FsKind::Fat), true},
        DriveRow{"ExfatInTheKernel", on("", {{kNvme + "/nvme0n1p3"}},
                                        FsKind::Exfat),
                 true},
        DriveRow{"Fusefat", on("fuse.fusefat", {}, FsKind::Fat), true},
        DriveRow{"FuseBlockMount", on("fuseblk", {{kSata + "/sda2"}}), true},
        DriveRow{"FuseBlockMountNamed", on("fuseblk.ntfs-3g"), true},
        DriveRow{"Ext4OnUsbPartition", on("", {{kUsbDisk + "/sdb1"}}), true},
        DriveRow{"XfsOnWholeUsbDisk", on("", {{kUsbDisk}}), true},
        DriveRow{"Ext4OnSdCard", on("", {{kSdCard + "/mmcblk0p2"}}), true},
        DriveRow{"MarkedRemovable", on("", {{kSata + "/sdc1", true}}), true},
        DriveRow{"EncryptedUsbStick",
                 on("", {{"/sys/devices/virtual/block/dm-0"},
                         {kUsbDisk + "/sdb1"}}),
                 true},
        DriveRow{"Ext4OnSata", on("", {{kSata + "/sda1"}}), false},
        DriveRow{"BtrfsOnNvme", on("btrfs", {{kNvme + "/nvme0n1p2"}}), false},
        DriveRow{"Ext4OnVirtio", on("", {{kVirtio + "/vda1"}}), false},
        DriveRow{"EncryptedSata",
                 on("", {{"/sys/devices/virtual/block/dm-1"},
                         {kSata + "/sda3"}}),
                 false},
        DriveRow{"LoopDevice", on("", {{"/sys/devices/virtual/block/loop0"}}),
                 false},
        DriveRow{"Tmpfs", on("tmpfs"), false},
        DriveRow{"Nfs", on("nfs4"), false},
        DriveRow{"Smb", on("cifs"), false},
        DriveRow{"Sshfs", on("fuse.sshfs"), false},
        DriveRow{"NothingKnown", on(""), false}),
    [](const auto& info) { return info.param.name; });

// A tree in memory has no drive and no block device to read back from.
TEST(OpenTree, TmpfsIsNoCarriedDrive) {
  struct statfs fs;
  if (statfs("/dev/shm", &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
    GTEST_SKIP() << "/dev/shm is no tmpfs here";
  }
  TempDir dir("/dev/shm");
  Tree tree = open_tree(dir.path);
  EXPECT_FALSE(tree.carried || !tree.device.empty());
  close_tree(tree);
}

}  // namespace
