# The mode, owner and group of every copy and every directory made for one,
# run as root (who may give files away) and as an unprivileged user: new
# directories and files copied to the right tree, and updates of older right
# files.  Each source is named for its mode and owner; owners are root (0),
# nobody (65534) and another user (4321), each with the group of its number.
# As root an update also leaves behind the file capability and the trusted
# attributes of the file it replaces, and keeps its user attributes and ACL
# only where its owner is the source's.  Access lists of the sources pass
# to their copies; where the target's file system holds none, the group
# bits are what the owning group's entry grants.  From drives that hold no
# modes (exFAT, NTFS without permission mapping) new files take the mode
# the driver reports less the umask, and updates keep the target's.
. "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: only root can make files of other users" >&2
  exit 77
fi
need_tool setcap libcap2-bin
need_tool getcap libcap2-bin
need_tool setfattr attr
need_tool getfattr attr
need_tool setfacl acl
need_tool getfacl acl

ANSWERS=$HELPER_DIR/answers
printf 'j\nb\n' >"$ANSWERS"

# What this script mounts (mount points, with the daemons of FUSE mounts
# and the loop devices), released at its end; the exit status is kept.
MOUNTED=()
DAEMONS=()
LOOPS=()
release_all() {
  local status=$? i
  for i in "${!MOUNTED[@]}"; do
    umount "${MOUNTED[$i]}" 2>/dev/null || true
    [ -z "${DAEMONS[$i]}" ] || wait "${DAEMONS[$i]}" 2>/dev/null || true
  done
  for i in "${LOOPS[@]}"; do losetup -d "$i" 2>/dev/null || true; done
  (exit "$status")
  cleanup
}
trap release_all EXIT

# release_last: unmounts the last mount of this script; a FUSE mount may be
# busy for a moment after the run that used it has ended.
release_last() {
  local last=$((${#MOUNTED[@]} - 1)) try
  for try in 1 2 3 4 5 6 7 8 9 10; do
    umount "${MOUNTED[$last]}" 2>/dev/null && break
    sleep 0.2
  done
  mountpoint -q "${MOUNTED[$last]}" && umount -l "${MOUNTED[$last]}"
  [ -z "${DAEMONS[$last]}" ] || wait "${DAEMONS[$last]}" 2>/dev/null || true
  unset "MOUNTED[$last]" "DAEMONS[$last]"
}

# acl_of FILE: the access and default lists of FILE, numeric, as stored.
acl_of() { getfacl -cnE -- "$1"; }

# check_acl LABEL SOURCE COPY: COPY carries the lists of SOURCE.
check_acl() {
  acl_of "$2" >"$HELPER_DIR/acl.source"
  acl_of "$3" >"$HELPER_DIR/acl.copy"
  check_same "$HELPER_DIR/acl.source" "$HELPER_DIR/acl.copy" "ACL of $1"
}

# build DIR < ROWS: makes each row "PATH MODE OWNER" below DIR, a directory
# where PATH ends in /, else a file of time SECONDS (the fourth field); then
# gives them their owners and modes, the deepest first.
build() {
  local path mode owner seconds
  mkdir -p "$1"
  while read -r path mode owner seconds; do
    case $path in
      */) mkdir -p "$1/$path" ;;
      *) make_file "$1/$path" "$seconds" ;;
    esac
    printf '%s %s %s\n' "$path" "$mode" "$owner"
  done >"$HELPER_DIR/rows"
  sort -r "$HELPER_DIR/rows" | while read -r path mode owner; do
    chown "$owner:$owner" "$1/$path"
    chmod "$mode" "$1/$path"
  done
}

# files OWNER...: the one-sided files of every mode for each OWNER, and the
# sources of the updates.
files() {
  local mode owner name
  for owner in "$@"; do
    case $owner in 0) name=root ;; 65534) name=nobody ;; *) name=other ;; esac
    for mode in 6755 4755 2755 0644; do
      printf 'f%s.%s %s %s 2000\n' "$mode" "$name" "$mode" "$owner"
    done
  done
  printf '%s 2000\n' 'u6755.root 6755 0' 'u6755.other 6755 4321' \
    'u4755.nobody 4755 65534' 'u4755.other 4755 4321' 'u2755.root 2755 0' \
    'u2755.other 2755 4321' 'u0644.nobody 0644 65534'
}

# updated OWNER: the older right files that the updates replace, of OWNER.
updated() {
  local name
  for name in u6755.root u6755.other u4755.nobody u4755.other u2755.root \
    u2755.other u0644.nobody; do
    printf '%s 0600 %s 1000\n' "$name" "$1"
  done
}

# check_right LABEL EXPECTED: every object below R with its mode, owner and
# group after a synchronisation that ended well.
check_right() {
  check_status 0 "$1"
  [ -s "$ERR" ] && fail "$1: messages: $(cat "$ERR")"
  (cd R && find . -mindepth 1 -printf '%P %m %U %G\n' | sort) >"$HELPER_DIR/got"
  check_same "$2" "$HELPER_DIR/got" "modes and owners $1"
}

# As root, with umask 022: new files, updates and directories take their
# source's owner, group and mode (a directory's less the umask; 0555 once
# its copies are in), set-ID bits included.  R/capprog, a program of
# root's with a file capability, a trusted and a user attribute, is
# replaced by another user's script: it keeps none of them.  R/ownattr,
# of the source's owner, keeps its user attribute.  R/capsame holds the
# bytes of its source, mode 0777: with its capability it is never kept.
# R/sticky holds the bytes of its source of mode 1644: it is kept, with the
# sticky bit.  R/trustsame and R/imasame hold their sources' bytes with a
# trusted attribute and an IMA hash, which a copy drops: they are written.
{
  printf '%s\n' 'd0700.nobody/ 0700 65534' 'd0700.nobody/f 0644 65534 2000' \
    'd0750.other/ 0750 4321' 'd0750.other/f 0644 4321 2000' \
    'd0755.root/ 0755 0' 'd0755.root/d0750.other/ 0750 4321' \
    'd0755.root/d0750.other/d0555.nobody/ 0555 65534' \
    'd0755.root/d0750.other/d0555.nobody/f 0644 65534 2000' \
    'capprog 0755 4321 2000' 'ownattr 0644 4321 2000' 'capsame 0777 0 2000' \
    'sticky 1644 0 2000' 'trustsame 0644 0 2000' 'imasame 0644 0 2000'
  files 0 65534 4321
} | build L
{
  updated 4321
  printf '%s\n' 'capprog 0755 0 1000' 'ownattr 0600 4321 1000' \
    'capsame 0755 0 1000' 'sticky 0644 0 1000' 'trustsame 0644 0 1000' \
    'imasame 0644 0 1000'
} | build R
for f in capsame sticky trustsame imasame; do
  cat "L/$f" >"R/$f"
  touch -d @1000 "R/$f"
done
setfattr -n trusted.y -v 1 R/trustsame
ima=1
setfattr -n security.ima -v 0x0401 R/imasame 2>/dev/null || ima=0
inodes=$(stat -c %i R/sticky R/trustsame R/imasame)
setcap cap_net_raw+ep R/capprog
setcap cap_net_raw+ep R/capsame
setfattr -n trusted.x -v 1 R/capprog
setfattr -n user.keep -v 1 R/capprog
setfattr -n user.keep -v 1 R/ownattr
[ -n "$(getcap R/capprog)" ] || fail "R/capprog got no capability to lose"
(umask 022 && run_kalvern --stdin "$ANSWERS" -- L R)
check_right "as root" "$(expected '%s\n' 'capprog 755 4321 4321' \
  'capsame 777 0 0' \
  'd0700.nobody 700 65534 65534' 'd0700.nobody/f 644 65534 65534' \
  'd0750.other 750 4321 4321' 'd0750.other/f 644 4321 4321' \
  'd0755.root 755 0 0' 'd0755.root/d0750.other 750 4321 4321' \
  'd0755.root/d0750.other/d0555.nobody 555 65534 65534' \
  'd0755.root/d0750.other/d0555.nobody/f 644 65534 65534' \
  'f0644.nobody 644 65534 65534' 'f0644.other 644 4321 4321' \
  'f0644.root 644 0 0' 'f2755.nobody 2755 65534 65534' \
  'f2755.other 2755 4321 4321' 'f2755.root 2755 0 0' \
  'f4755.nobody 4755 65534 65534' 'f4755.other 4755 4321 4321' \
  'f4755.root 4755 0 0' 'f6755.nobody 6755 65534 65534' \
  'f6755.other 6755 4321 4321' 'f6755.root 6755 0 0' \
  'imasame 644 0 0' 'ownattr 644 4321 4321' 'sticky 1644 0 0' \
  'trustsame 644 0 0' \
  'u0644.nobody 644 65534 65534' 'u2755.other 2755 4321 4321' \
  'u2755.root 2755 0 0' 'u4755.nobody 4755 65534 65534' \
  'u4755.other 4755 4321 4321' 'u6755.other 6755 4321 4321' \
  'u6755.root 6755 0 0')"
read -r sticky trustsame imasame <<<"$(echo $inodes)"
[ "$(stat -c %i R/sticky)" = "$sticky" ] || fail "R/sticky was written, not kept"
[ "$(stat -c %i R/trustsame)" != "$trustsame" ] || fail "R/trustsame was kept"
if getfattr -n trusted.y R/trustsame >/dev/null 2>&1; then
  fail "R/trustsame kept its trusted attribute"
fi
if [ "$ima" = 1 ]; then
  [ "$(stat -c %i R/imasame)" != "$imasame" ] || fail "R/imasame was kept"
else
  echo "SKIP: security.ima cannot be set here: no kept target with an IMA hash" >&2
fi
cmp -s L/capprog R/capprog || fail "R/capprog was not replaced"
[ -z "$(getcap R/capprog)" ] ||
  fail "R/capprog kept its capability: $(getcap R/capprog)"
if getfattr -n trusted.x R/capprog >/dev/null 2>&1; then
  fail "R/capprog kept its trusted attribute"
fi
if getfattr -n user.keep R/capprog >/dev/null 2>&1; then
  fail "R/capprog kept the user attribute of another owner"
fi
[ "$(getfattr --only-values -n user.keep R/ownattr 2>/dev/null)" = 1 ] ||
  fail "R/ownattr lost its user attribute"
[ -z "$(getcap R/capsame)" ] ||
  fail "R/capsame kept its capability: $(getcap R/capsame)"
rm -rf L R

# As nobody, with umask 027: everything new belongs to nobody; directories
# take their source's mode less the umask, files their source's, a set-ID
# bit only where nobody is the source's owner or group.
{
  printf '%s\n' 'd0700.nobody/ 0700 65534' 'd0700.nobody/f 0644 65534 2000' \
    'd0750.nobody/ 0750 65534' 'd0750.nobody/f 0644 65534 2000' \
    'd0755.root/ 0755 0' 'd0755.root/f 0644 0 2000' \
    'd0755.other/ 0755 4321' 'd0755.other/d0555.nobody/ 0555 65534' \
    'd0755.other/d0555.nobody/f 0644 65534 2000' 'acl.nobody 0640 65534 2000'
  files 0 65534 4321
} | build L
setfacl -m 'g::---,u:4321:r--' L/acl.nobody
{
  printf './ 0755 65534\n'
  updated 65534
} | build R
(umask 027 && run_kalvern --nobody --stdin "$ANSWERS" -- L R)
check_right "as nobody" "$(expected '%s\n' 'acl.nobody 640 65534 65534' \
  'd0700.nobody 700 65534 65534' 'd0700.nobody/f 644 65534 65534' \
  'd0750.nobody 750 65534 65534' 'd0750.nobody/f 644 65534 65534' \
  'd0755.other 750 65534 65534' 'd0755.other/d0555.nobody 550 65534 65534' \
  'd0755.other/d0555.nobody/f 644 65534 65534' \
  'd0755.root 750 65534 65534' 'd0755.root/f 644 65534 65534' \
  'f0644.nobody 644 65534 65534' 'f0644.other 644 65534 65534' \
  'f0644.root 644 65534 65534' 'f2755.nobody 2755 65534 65534' \
  'f2755.other 755 65534 65534' 'f2755.root 755 65534 65534' \
  'f4755.nobody 4755 65534 65534' 'f4755.other 755 65534 65534' \
  'f4755.root 755 65534 65534' 'f6755.nobody 6755 65534 65534' \
  'f6755.other 755 65534 65534' 'f6755.root 755 65534 65534' \
  'u0644.nobody 644 65534 65534' 'u2755.other 755 65534 65534' \
  'u2755.root 755 65534 65534' 'u4755.nobody 4755 65534 65534' \
  'u4755.other 755 65534 65534' 'u6755.other 755 65534 65534' \
  'u6755.root 755 65534 65534')"
check_acl "R/acl.nobody, as nobody" L/acl.nobody R/acl.nobody
rm -rf L R

# As root, access lists: R/acl.new and the directory R/acl.dir (with its
# default list) carry their source's, which keeps the owning group out and
# lets 65534 read; R/acl.upd takes its source's list in place of its own;
# R/ownacl, of the source's owner, keeps its own, the mask from the source's
# mode.
ACL='u::rw-,g::---,u:65534:r--,m::r--,o::---'
printf '%s\n' 'acl.new 0640 4321 2000' 'acl.dir/ 0750 4321' \
  'acl.dir/f 0640 4321 2000' 'acl.upd 0640 4321 2000' \
  'ownacl 0640 4321 2000' | build L
printf '%s\n' 'acl.upd 0644 4321 1000' 'ownacl 0644 4321 1000' | build R
setfacl -m "$ACL" L/acl.new L/acl.upd L/acl.dir/f
setfacl -m 'g::---,u:65534:r-x,m::r-x' -m 'd:u:65534:r-x' L/acl.dir
setfacl -m u:4100:rwx R/acl.upd R/ownacl
(umask 022 && run_kalvern --stdin "$ANSWERS" -- L R)
check_right "with access lists" "$(expected '%s\n' 'acl.dir 750 4321 4321' \
  'acl.dir/f 640 4321 4321' 'acl.new 640 4321 4321' \
  'acl.upd 640 4321 4321' 'ownacl 640 4321 4321')"
for f in acl.new acl.dir acl.dir/f acl.upd; do check_acl "R/$f" "L/$f" "R/$f"; done
acl_of R/ownacl | check_same "$(expected '%s\n' user::rw- user:4100:rwx \
  group::r-- mask::r-- other::--- '')" - "ACL of R/ownacl"
rm -rf L R

# As root, in the sticky shared R/share: mallory's (4100) older file, with
# her list and a user attribute, stands at the path of bob's (4300) private
# file.  The update is bob's, private, and carries neither.
printf '%s\n' 'share/letter 0600 4300 2000' | build L
printf '%s\n' 'share/ 1777 0' 'share/letter 0666 4100 1000' | build R
setfacl -m u:4100:rwx R/share/letter
setfattr -n user.hers -v 1 R/share/letter
run_kalvern --stdin "$ANSWERS" -- L R
check_right "in a sticky shared directory" "$(expected '%s\n' \
  'share 1777 0 0' 'share/letter 600 4300 4300')"
[ -z "$(getfacl -scn R/share/letter)" ] ||
  fail "R/share/letter kept her list: $(getfacl -scn R/share/letter)"
if getfattr -n user.hers R/share/letter >/dev/null 2>&1; then
  fail "R/share/letter kept her user attribute"
fi
rm -rf L R

# As root, onto ramfs, which holds modes but no access lists: the group
# bits are what the owning group's entry grants, never the mask.  R/g.f,
# whose group may read and 65534 write, 0640; the others keep their group
# out: R/acl.f and the update of R/acl.u 0600, the directory R/acl.d 0700.
printf '%s\n' 'acl.f 0640 4321 2000' 'g.f 0640 4321 2000' 'acl.u 0640 4321 2000' \
  'acl.d/ 0750 4321' 'acl.d/f 0644 4321 2000' | build L
setfacl -m "$ACL" L/acl.f L/acl.u
setfacl -m 'g::r--,u:65534:rw-' L/g.f
setfacl -m 'g::---,u:65534:r-x' L/acl.d
mkdir R
if mount -t ramfs none R 2>/dev/null; then
  MOUNTED+=("$TEST_TMP/R")
  DAEMONS+=("")
  printf '%s\n' 'acl.u 0644 4321 1000' | build R
  (umask 022 && run_kalvern --stdin "$ANSWERS" -- L R)
  check_right "onto ramfs" "$(expected '%s\n' 'acl.d 700 4321 4321' \
    'acl.d/f 644 4321 4321' 'acl.f 600 4321 4321' 'acl.u 600 4321 4321' \
    'g.f 640 4321 4321')"
  release_last
else
  echo "SKIP: ramfs cannot be mounted here: no copy onto a file system without access lists" >&2
fi
rm -rf L R

# modeless_source KIND: as root with umask 027, the left tree on a drive of
# KIND (exfat, ntfs) whose driver reports 0777 for every file: new files
# and directories are 0750, and the update of R/upd.txt keeps its 0600.
modeless_source() {
  local kind=$1 tool device=$TEST_TMP/$1.img
  for tool in $([ "$kind" = exfat ] && echo mkfs.exfat mount.exfat-fuse losetup ||
    echo mkntfs ntfs-3g); do
    command -v "$tool" >/dev/null || { echo "SKIP: $kind source: $tool is missing" >&2; return 0; }
  done
  truncate -s 64M "$device"
  mkdir -p "$TEST_TMP/mnt"
  if [ "$kind" = exfat ]; then
    mkfs.exfat "$device" >/dev/null
    device=$(losetup -f --show "$device" 2>/dev/null) ||
      { echo "SKIP: $kind source: no loop device" >&2; return 0; }
    LOOPS+=("$device")
    mount.exfat-fuse -d "$device" "$TEST_TMP/mnt" >/dev/null 2>&1 &
  else
    mkntfs -F -Q -q "$device" >/dev/null 2>&1
    ntfs-3g -o no_detach "$device" "$TEST_TMP/mnt" >/dev/null 2>&1 &
  fi
  DAEMONS+=($!)
  MOUNTED+=("$TEST_TMP/mnt")
  wait_for_mount "$TEST_TMP/mnt" ||
    { echo "SKIP: $kind source: mounting is not permitted here" >&2; return 0; }
  make_file mnt/L/new.txt 2000
  make_file mnt/L/dir/deep.txt 2000
  make_file mnt/L/upd.txt 2000
  make_file R/upd.txt 1000
  chmod 0600 R/upd.txt
  (umask 027 && run_kalvern --stdin "$ANSWERS" -- mnt/L R)
  check_right "from $kind" "$(expected '%s\n' 'dir 750 0 0' \
    'dir/deep.txt 750 0 0' 'new.txt 750 0 0' 'upd.txt 600 0 0')"
  release_last
  rm -rf R
}
if [ -c /dev/fuse ]; then
  modeless_source exfat
  modeless_source ntfs
else
  echo "SKIP: /dev/fuse is missing: no source on a drive without modes" >&2
fi
