# Synchronisation onto the file systems of external drives, as users mount
# them: NTFS through ntfs-3g, exFAT through exfat-fuse on a loop device, FAT
# through fusefat.  On each, an update and copies of one-sided files in both
# directions, new directories included; then the drive is mounted afresh and
# content and times are checked there, and a second run finds the trees
# identical.  On FAT and exFAT, times the drive cannot hold are refused; on
# exFAT, a renamed folder is synchronised and interrupted.  An
# ext4 drive unmounted while the question waits is never written through its
# bare mount point.  Each file system is skipped with a message where it
# cannot be mounted here.
. "$(dirname "$0")/common.sh"

# The daemons and loop devices of this script, for the exit trap.
DAEMONS=()
LOOPS=()
MOUNTED=()

# unmount DIR PID: unmounts DIR and waits until its daemon PID has written
# everything out and ended.
unmount() {
  umount "$1" 2>/dev/null || fusermount -u "$1" 2>/dev/null || true
  wait "$2" 2>/dev/null || true
}

# release_all: unmounts what is still mounted and detaches the loop devices;
# the exit status of the script is kept.
release_all() {
  local status=$? i
  for i in "${!MOUNTED[@]}"; do unmount "${MOUNTED[$i]}" "${DAEMONS[$i]}"; done
  for i in "${LOOPS[@]}"; do losetup -d "$i" 2>/dev/null || true; done
  (exit "$status")
  cleanup
}
trap release_all EXIT

# skip_fs KIND REASON: says why a file system is not tested here.
skip_fs() {
  echo "SKIP: $1 not tested: $2" >&2
}

# start_daemon KIND SOURCE DIR: mounts SOURCE (image or loop device) on DIR
# with the driver of KIND, the daemon kept in the foreground of a background
# job; fails if the mount does not appear.
start_daemon() {
  case $1 in
    ntfs) ntfs-3g -o no_detach "$2" "$3" >/dev/null 2>&1 & ;;
    exfat) mount.exfat-fuse -d "$2" "$3" >/dev/null 2>&1 & ;;
    fat) fusefat -f -o rw+ "$2" "$3" >/dev/null 2>&1 & ;;
  esac
  DAEMONS+=($!)
  MOUNTED+=("$3")
  wait_for_mount "$3"
}

# stop_daemon: unmounts the last mount of start_daemon.
stop_daemon() {
  local last=$((${#MOUNTED[@]} - 1))
  unmount "${MOUNTED[$last]}" "${DAEMONS[$last]}"
  unset "MOUNTED[$last]" "DAEMONS[$last]"
}

# make_image KIND IMAGE: a fresh 64 MiB file system of KIND in IMAGE.
make_image() {
  truncate -s 64M "$2"
  case $1 in
    ntfs) mkntfs -F -Q -q "$2" >/dev/null 2>&1 ;;
    exfat) mkfs.exfat "$2" >/dev/null ;;
    fat) mkfs.vfat "$2" >/dev/null ;;
  esac
}

# The tools each file system needs.
tools_of() {
  case $1 in
    ntfs) echo mkntfs ntfs-3g ;;
    exfat) echo mkfs.exfat mount.exfat-fuse losetup ;;
    fat) echo mkfs.vfat fusefat ;;
  esac
}

# check_time FILE SECONDS ROUNDS LABEL: FILE holds the modification second
# SECONDS; with ROUNDS=1 the second before counts too (FAT keeps even ones).
check_time() {
  local got
  got=$(stat -c %Y -- "$1")
  if [ "$got" != "$2" ] && { [ "$3" != 1 ] || [ "$got" != $(($2 - 1)) ]; }; then
    fail "$4: modification time $got, expected $2"
  fi
}

# check_copy SOURCE TARGET ROUNDS LABEL: same content and modification time.
check_copy() {
  [ -f "$2" ] || { fail "$4: $2 is missing"; return 0; }
  cmp -s -- "$1" "$2" || fail "$4: content differs from the source"
  check_time "$2" "$(stat -c %Y -- "$1")" "$3" "$4"
}

# test_fs KIND: the synchronisation between a local tree L and a tree R on
# a drive of KIND, checked after the drive was mounted afresh.
test_fs() {
  local kind=$1 tool source dir=$TEST_TMP/$1 rounds=0 exp
  for tool in $(tools_of "$kind"); do
    command -v "$tool" >/dev/null || { skip_fs "$kind" "$tool is missing"; return 0; }
  done
  [ "$kind" = fat ] && rounds=1
  mkdir -p "$dir/mnt"
  make_image "$kind" "$dir/image"
  source=$dir/image
  if [ "$kind" = exfat ]; then
    source=$(losetup -f --show "$dir/image" 2>/dev/null) || {
      skip_fs "$kind" "no loop device"
      return 0
    }
    LOOPS+=("$source")
  fi
  start_daemon "$kind" "$source" "$dir/mnt" || {
    skip_fs "$kind" "mounting is not permitted here"
    return 0
  }
  TESTED=$((TESTED + 1))
  make_file "$dir/L/upd.txt" 1700000001.25 "new content, longer than before"
  make_file "$dir/mnt/R/upd.txt" 1600000000 "old"
  make_file "$dir/L/one.txt" 1700000003 "only left"
  make_file "$dir/L/new/dir/deep.txt" 1700000005 "only left, new directories"
  make_file "$dir/mnt/R/from/drive.txt" 1700000008 "only on the drive"
  # Owners the drive cannot hold, and modes it may not: it keeps its own.
  chown -R 65534:65534 "$dir/L/new" "$dir/L/one.txt"
  chmod 6755 "$dir/L/one.txt"
  chmod 0700 "$dir/L/new/dir"
  printf 'j\nb\n' >"$HELPER_DIR/answers"
  run_kalvern --stdin "$HELPER_DIR/answers" --cwd "$dir" -- -c 30 L mnt/R
  check_status 0 "$kind: $LAST_RUN"
  check_same "$EMPTY" "$ERR" "$kind: stderr of $LAST_RUN"
  # What the drive holds once it is mounted afresh.
  stop_daemon
  start_daemon "$kind" "$source" "$dir/mnt" || fail "$kind: mounting again failed"
  check_copy "$dir/L/upd.txt" "$dir/mnt/R/upd.txt" $rounds "$kind: update"
  check_copy "$dir/L/one.txt" "$dir/mnt/R/one.txt" $rounds "$kind: one-sided file"
  check_copy "$dir/L/new/dir/deep.txt" "$dir/mnt/R/new/dir/deep.txt" $rounds \
    "$kind: one-sided file in new directories"
  check_copy "$dir/mnt/R/from/drive.txt" "$dir/L/from/drive.txt" 0 \
    "$kind: one-sided file from the drive"
  # On FAT, whose clock goes in steps of two seconds, too.
  exp=$(expected '')
  # shellcheck disable=SC2059
  { print_summary 8 4 0 0; printf "$IDENTICAL_MSG"; } >"$exp"
  expect_run 0 "$exp" "$EMPTY" --cwd "$dir" -- -c 30 L mnt/R
  [ "$kind" = ntfs ] || test_refused "$kind" "$dir"
  test_unsynced "$kind" "$dir"
  [ "$kind" = ntfs ] || test_case_names "$kind" "$dir"
  [ "$kind" != exfat ] || test_moves_stopped "$dir/mnt/moves"
  stop_daemon
}

# test_moves_stopped DIR: SIGINT at random moments while a renamed folder
# on the drive is synchronised with l and with r, where the drive has no
# hard links: files are renamed into the copies' places and back.
test_moves_stopped() {
  local round answer
  for round in 1 2; do
    for answer in l r; do
      stop_moving "$1" "$answer" "$(printf '0.%02d' $((RANDOM % 80 + 5)))"
    done
  done
  rm -rf "$1"
}

# test_refused KIND DIR: FAT and exFAT hold times from 1980 to 2107 only;
# a copy of a file dated before or after is refused, and neither a new file
# nor an update lands on the drive.  On exFAT a name the drive rejects fails
# at the rename, and the directories made for it go again.
test_refused() {
  local kind=$1 dir=$2
  make_file "$dir/L/1960.txt" -315619200 "dated 1960"
  make_file "$dir/L/2110.txt" 4418150400 "dated 2110"
  make_file "$dir/L/half.txt" -0.5 "half a second before 1970"
  make_file "$dir/mnt/R/2110.txt" 1600000000 "old"
  if [ "$kind" = exfat ]; then make_file "$dir/L/made/for/a:b" 1700000000; fi
  printf 'j\nb\n' >"$HELPER_DIR/answers"
  run_kalvern --stdin "$HELPER_DIR/answers" --cwd "$dir" -- -c 30 L mnt/R
  check_status 2 "$kind: $LAST_RUN"
  sort "$ERR" >"$HELPER_DIR/sorted"
  printf 'Fehler beim Setzen des Zeitstempels für "mnt/R/%s": Das Dateisystem kann diese Zeit nicht speichern\n' \
    1960.txt 2110.txt half.txt >"$HELPER_DIR/expected"
  if [ "$kind" = exfat ]; then
    printf 'Fehler beim Kopieren von "L/made/for/a:b" nach "mnt/R/made/for/a:b": No such file or directory\n' \
      >>"$HELPER_DIR/expected"
  fi
  sort -o "$HELPER_DIR/expected" "$HELPER_DIR/expected"
  check_same "$HELPER_DIR/expected" "$HELPER_DIR/sorted" "$kind: stderr of $LAST_RUN"
  [ ! -e "$dir/mnt/R/1960.txt" ] || fail "$kind: the file of 1960 was copied"
  [ ! -e "$dir/mnt/R/half.txt" ] || fail "$kind: the file of 1969 was copied"
  [ ! -e "$dir/mnt/R/made" ] || fail "$kind: directories made for a refused name stay"
  check_same "$(expected old)" "$dir/mnt/R/2110.txt" "$kind: update dated 2110"
}

# test_unsynced KIND DIR: copies into new directories on the drive whose
# data cannot be made durable (strace fails each fsync and syncfs) are
# refused, and no directory made for them stays.  A FUSE driver keeps a
# file removed while open under a hidden name until it is closed, which
# may come after the removal of its directory: each unlink is held back a
# while, and the drive is watched meanwhile for such names.
test_unsynced() {
  local kind=$1 dir=$2 i pid
  command -v strace >/dev/null || { skip_fs "$kind" "strace is missing"; return 0; }
  : >"$HELPER_DIR/expected"
  for i in 1 2 3; do
    make_file "$dir/unsynced/L/made/d$i/f" 1700000000 "file $i"
    printf 'Fehler beim Kopieren von "unsynced/L/made/d%s/f" nach "mnt/unsynced/made/d%s/f": Input/output error\n' \
      "$i" "$i" >>"$HELPER_DIR/expected"
  done
  mkdir -p "$dir/mnt/unsynced"
  printf 'j\nb\n' >"$HELPER_DIR/answers"
  env -C "$dir" strace -o /dev/null -f --seccomp-bpf -e trace=fsync,syncfs,unlinkat \
    -e inject=fsync,syncfs:error=EIO -e inject=unlinkat:delay_exit=200000 \
    "$KALVERN" -c 30 unsynced/L mnt/unsynced \
    <"$HELPER_DIR/answers" >"$OUT" 2>"$ERR" &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    find "$dir/mnt/unsynced" -name '.fuse_hidden*' 2>/dev/null || true
    sleep 0.02
  done >"$HELPER_DIR/hidden"
  wait "$pid" && STATUS=0 || STATUS=$?
  check_status 2 "$kind: unsynced copies"
  sort "$ERR" | check_same "$HELPER_DIR/expected" - "$kind: stderr of the unsynced copies"
  check_same "$EMPTY" "$HELPER_DIR/hidden" "$kind: files removed while open"
  [ ! -e "$dir/mnt/unsynced/made" ] || fail "$kind: directories made for refused copies stay"
  rm -rf "$dir/unsynced" "$dir/mnt/unsynced"
}

# test_case_names KIND DIR: names that differ only in case, copied (j, b,
# twice) from a local tree onto mnt/case on a drive of KIND (exfat, fat), or
# for KIND plain into a local directory, which takes them all: Dir/a with
# dir/b, Foto.JPG with foto.jpg, and Dir/x beside the drive's dir/y and
# beside its empty dir.  On the drive the later of each pair is refused, and
# both Dir/x; no tree gets a file that the user did not make.  With l, a
# file of the drive deleted makes way for one of another case.
test_case_names() {
  local kind=$1 dir=$2 run name pair photo
  for name in pair/Dir/a pair/dir/b photo/Foto.JPG photo/foto.jpg against/Dir/x empty/Dir/x; do
    make_file "$dir/case/L/$name" 1700000000
  done
  make_file "$dir/mnt/case/against/dir/y" 1700000000
  mkdir -p "$dir/mnt/case/empty/dir"
  for run in first second; do
    run_kalvern --stdin "$(expected 'j\nb\n')" --cwd "$dir" -- -c 30 case/L mnt/case
    check_status "$([ "$kind" = plain ] && echo 0 || echo 2)" "$kind, $run run: $LAST_RUN"
    [ "$kind" = plain ] && { check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"; break; }
    # The first of each pair in the listing, as the drive names it.
    pair=$(ls "$dir/mnt/case/pair") photo=$(ls "$dir/mnt/case/photo")
    printf 'pair/%s pair/%s\nphoto/%s photo/%s\nagainst/Dir/x against/dir\nempty/Dir/x empty/dir\n' \
      "$([ "$pair" = Dir ] && echo dir/b || echo Dir/a)" "$pair" \
      "$([ "$photo" = foto.jpg ] && echo Foto.JPG || echo foto.jpg)" "$photo" |
      while read -r name there; do
        printf 'Fehler beim Kopieren von "case/L/%s" nach "mnt/case/%s": Auf dem Ziel steht schon "mnt/case/%s", das sich nur in Groß- und Kleinschreibung unterscheidet\n' "$name" "$name" "$there"
      done | sort >"$HELPER_DIR/expected"
    sort "$ERR" | check_same "$HELPER_DIR/expected" - "$kind, $run run: stderr of $LAST_RUN"
  done
  (cd "$dir/case/L" && find . -type f | sort) >"$HELPER_DIR/left"
  (cd "$dir/mnt/case" && find . -type f | sort) >"$HELPER_DIR/right"
  printf './%s\n' against/Dir/x against/dir/y empty/Dir/x pair/Dir/a pair/dir/b photo/Foto.JPG photo/foto.jpg >"$HELPER_DIR/expected"
  check_same "$HELPER_DIR/expected" "$HELPER_DIR/left" "$kind: files of the local tree"
  [ "$kind" = plain ] || printf './%s\n' against/dir/y "pair/$pair/$([ "$pair" = Dir ] && echo a || echo b)" \
    "photo/$photo" | sort >"$HELPER_DIR/expected"
  check_same "$HELPER_DIR/expected" "$HELPER_DIR/right" "$kind: files of mnt/case"
  [ "$kind" = plain ] && return 0
  make_file "$dir/mnt/renamed/Foto.JPG" 1700000000
  make_file "$dir/renamed/foto.jpg" 1700000002
  run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 mnt/renamed renamed
  check_status 0 "$kind: $LAST_RUN"
  check_same "$EMPTY" "$ERR" "$kind: stderr of $LAST_RUN"
  ls "$dir/mnt/renamed" | check_same "$(expected 'foto.jpg\n')" - "$kind: the drive after $LAST_RUN"
}

# test_unmounted_root: the right tree is the root of an ext4 drive, unmounted
# lazily while the question waits.  Its path then leads to the bare mount
# point: nothing is written there or onto the drive, and the run ends with
# the message and status 2.
test_unmounted_root() {
  local dir=$TEST_TMP/unmounted
  mkdir -p "$dir/mnt"
  truncate -s 32M "$dir/image"
  mkfs.ext4 -q -F "$dir/image" >/dev/null 2>&1 &&
    mount -o loop "$dir/image" "$dir/mnt" 2>/dev/null || {
    skip_fs "an unmounted drive" "ext4 cannot be mounted here"
    return 0
  }
  TESTED=$((TESTED + 1))
  make_file "$dir/L/upd.txt" 1700000001 "new"
  make_file "$dir/mnt/upd.txt" 1600000000 "old"
  make_file "$dir/L/only-left.txt" 1700000002 "only left"
  make_file "$dir/mnt/only-right.txt" 1700000003 "only right"
  local before
  before=$(snapshot "$dir/mnt")
  unmount_lazily() { umount -l "$TEST_TMP/unmounted/mnt"; }
  run_paused "$dir" unmount_lazily 'j\n' -- -c 30 L mnt
  check_status 2 "$LAST_RUN"
  check_same "$(expected 'kalvern Fehler - Verzeichnis mnt ist nicht mehr dasselbe wie beim Vergleich, Abgleich abgebrochen.\n\n')" \
    "$ERR" "stderr of $LAST_RUN"
  (cd "$dir/mnt" && ls -A) >"$HELPER_DIR/names"
  check_same "$EMPTY" "$HELPER_DIR/names" "mount point after $LAST_RUN"
  mount -o loop "$dir/image" "$dir/mnt"
  [ "$(snapshot "$dir/mnt")" = "$before" ] || fail "$LAST_RUN changed the drive"
  umount "$dir/mnt"
}

TESTED=0
test_unmounted_root
test_case_names plain "$TEST_TMP/plain"
if [ ! -c /dev/fuse ]; then
  echo "SKIP: /dev/fuse is missing; no drive can be mounted here" >&2
  exit 77
fi
for kind in ntfs exfat fat; do test_fs "$kind"; done
if [ "$TESTED" -eq 0 ]; then
  echo "SKIP: none of the file systems could be mounted here" >&2
  exit 77
fi
