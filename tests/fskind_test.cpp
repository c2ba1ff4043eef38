// Tests of telling FAT and exFAT apart from other file systems, and of the
// rules for their times.

#include "fskind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

namespace {

struct KindRow {
  std::string name;
  std::string input;  // a mount type, or a boot sector
  FsKind expected;
};

void PrintTo(const KindRow& row, std::ostream* out) { *out << row.name; }

class MountTypeTest : public ::testing::TestWithParam<KindRow> {};

TEST_P(MountTypeTest, NamesTheKind) {
  EXPECT_EQ(kind_of_mount_type(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, MountTypeTest,
    ::testing::Values(KindRow{"Vfat", "vfat", FsKind::Fat},
                      KindRow{"Msdos", "msdos", FsKind::Fat},
                      KindRow{"Fusefat", "fuse.fusefat", FsKind::Fat},
                      KindRow{"Exfat", "exfat", FsKind::Exfat},
                      KindRow{"FuseExfat", "fuse.exfat", FsKind::Exfat},
                      KindRow{"FuseBlockMount", "fuseblk", FsKind::Other},
                      KindRow{"Ext4", "ext4", FsKind::Other},
                      KindRow{"Ntfs3", "ntfs3", FsKind::Other},
                      KindRow{"Sshfs", "fuse.sshfs", FsKind::Other},
                      KindRow{"PrefixOnly", "fuse.", FsKind::Other}),
    [](const auto& info) { return info.param.name; });

// The file systems behind a network, by statfs type and mount type.
struct NetworkRow {
  std::string name;
  unsigned long f_type;
  std::string mount_type;
  bool expected;
};

void PrintTo(const NetworkRow& row, std::ostream* out) { *out << row.name; }

class NetworkTypeTest : public ::testing::TestWithParam<NetworkRow> {};

TEST_P(NetworkTypeTest, TellsNetworksFromLocalDrives) {
  EXPECT_EQ(is_network_type(GetParam().f_type, GetParam().mount_type),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, NetworkTypeTest,
    ::testing::Values(NetworkRow{"Nfs", 0x6969, "nfs4", true},
                      NetworkRow{"Smb2", 0xfe534d42, "smb3", true},
                      NetworkRow{"Cifs", 0xff534d42, "cifs", true},
                      NetworkRow{"NineP", 0x01021997, "9p", true},
                      NetworkRow{"Sshfs", kFuseMagic, "fuse.sshfs", true},
                      NetworkRow{"Rclone", kFuseMagic, "fuse.rclone", true},
                      NetworkRow{"FuseBlock", kFuseMagic, "fuseblk", false},
                      NetworkRow{"Ntfs3g", kFuseMagic, "fuseblk.ntfs-3g", false},
                      NetworkRow{"Fusefat", kFuseMagic, "fuse.fusefat", false},
                      NetworkRow{"FuseExfat", kFuseMagic, "fuse.exfat", false},
                      NetworkRow{"Ext4", 0xef53, "ext4", false},
                      NetworkRow{"Tmpfs", 0x01021994, "tmpfs", false},
                      NetworkRow{"Vfat", 0x4d44, "vfat", false}),
    [](const auto& info) { return info.param.name; });

// The file systems that hold no modes, by kind, mount type, options and
// whether the first sector says NTFS.
struct ModelessRow {
  std::string name;
  FsKind kind;
  std::string type;
  std::string options;
  bool ntfs;
  bool expected;
};

void PrintTo(const ModelessRow& row, std::ostream* out) { *out << row.name; }

class ModelessMountTest : public ::testing::TestWithParam<ModelessRow> {};

TEST_P(ModelessMountTest, TellsDrivesWithoutModes) {
  const ModelessRow& row = GetParam();
  EXPECT_EQ(is_modeless_mount(row.kind, row.type, row.options, row.ntfs),
            row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Mounts, ModelessMountTest,
    ::testing::Values(
        ModelessRow{"Vfat", FsKind::Fat, "vfat", "rw,fmask=0022", false, true},
        ModelessRow{"FuseExfat", FsKind::Exfat, "fuseblk", "rw", false, true},
        ModelessRow{"Ntfs3g", FsKind::Other, "fuseblk",
                    "rw,user_id=0,group_id=0,allow_other", true, true},
        ModelessRow{"Ntfs3gImage", FsKind::Other, "fuse", "rw,user_id=0", true,
                    true},
        ModelessRow{"Ntfs3gMapped", FsKind::Other, "fuseblk",
                    "rw,user_id=0,default_permissions", true, false},
        ModelessRow{"Ntfs3", FsKind::Other, "ntfs3", "rw,uid=0", false, false},
        ModelessRow{"Ntfs3NoRules", FsKind::Other, "ntfs3",
                    "rw,noacsrules,uid=0", false, true},
        ModelessRow{"Sshfs", FsKind::Other, "fuse.sshfs", "rw,user_id=0",
                    false, false},
        ModelessRow{"Ext4", FsKind::Other, "ext4", "rw", false, false}),
    [](const auto& info) { return info.param.name; });

// A boot sector of 512 bytes with `signature` at `offset` and, unless
// `marked` is false, the closing mark 55 AA.
std::string sector(std::size_t offset, const std::string& signature,
                   bool marked = true) {
  std::string bytes(512, '\0');
  bytes.replace(offset, signature.size(), signature);
  if (marked) bytes.replace(510, 2, "\x55\xaa");
  return bytes;
}

class BootSectorTest : public ::testing::TestWithParam<KindRow> {};

TEST_P(BootSectorTest, NamesTheKind) {
  EXPECT_EQ(kind_of_boot_sector(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sectors, BootSectorTest,
    ::testing::Values(KindRow{"Exfat", sector(3, "EXFAT   "), FsKind::Exfat},
                      KindRow{"Fat12", sector(54, "FAT12   "), FsKind::Fat},
                      KindRow{"Fat16", sector(54, "FAT16   "), FsKind::Fat},
                      KindRow{"Fat32", sector(82, "FAT32   "), FsKind::Fat},
                      KindRow{"Ntfs", sector(3, "NTFS    "), FsKind::Other},
                      KindRow{"NoMark", sector(3, "EXFAT   ", false),
                              FsKind::Other},
                      KindRow{"Zeros", std::string(512, '\0'), FsKind::Other},
                      KindRow{"TooShort", "EXFAT", FsKind::Other}),
    [](const auto& info) { return info.param.name; });

struct TimeRow {
  std::string name;
  std::int64_t a;
  std::int64_t b;
  std::int64_t slack;
  bool expected;
};

void PrintTo(const TimeRow& row, std::ostream* out) { *out << row.name; }

class TimesMatchTest : public ::testing::TestWithParam<TimeRow> {};

TEST_P(TimesMatchTest, WithinTheSlackEitherWay) {
  const TimeRow& row = GetParam();
  EXPECT_EQ(times_match(row.a, row.b, row.slack), row.expected);
  EXPECT_EQ(times_match(row.b, row.a, row.slack), row.expected);
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Times, TimesMatchTest,
    ::testing::Values(TimeRow{"Equal", 5, 5, 0, true},
                      TimeRow{"OneApartExact", 5, 4, 0, false},
                      TimeRow{"OneApartOnFat", 5, 4, 1, true},
                      TimeRow{"TwoApartOnFat", 6, 4, 1, false},
                      TimeRow{"AcrossZeroOnFat", 0, -1, 1, true},
                      TimeRow{"SmallestOnFat", kMin + 1, kMin, 1, true},
                      TimeRow{"LargestOnFat", kMax, kMax - 1, 1, true},
                      TimeRow{"ExtremesOnFat", kMax, kMin, 1, false}),
    [](const auto& info) { return info.param.name; });

struct HoldRow {
  std::string name;
  FsKind kind;
  std::int64_t seconds;
  bool expected;
};

void PrintTo(const HoldRow& row, std::ostream* out) { *out << row.name; }

class CanHoldTimeTest : public ::testing::TestWithParam<HoldRow> {};

TEST_P(CanHoldTimeTest, FatAndExfatFrom1980To2107) {
  const HoldRow& row = GetParam();
  EXPECT_EQ(can_hold_time(row.kind, row.seconds), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Times, CanHoldTimeTest,
    ::testing::Values(
        HoldRow{"OtherBefore1970", FsKind::Other, -1, true},
        HoldRow{"OtherFarAhead", FsKind::Other, kMax, true},
        HoldRow{"FatLastSecondOf1979", FsKind::Fat, 315532799, false},
        HoldRow{"FatFirstSecondOf1980", FsKind::Fat, 315532800, true},
        HoldRow{"ExfatLastSecondOf2107", FsKind::Exfat, 4354819199, true},
        HoldRow{"ExfatFirstSecondOf2108", FsKind::Exfat, 4354819200, false},
        HoldRow{"ExfatBefore1970", FsKind::Exfat, -1, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
