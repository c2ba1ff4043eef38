# Copies onto failing drives, simulated by faultyfs (tests/faultyfs.c): an
# image served without page caching, formatted as exFAT (exfat-fuse on a
# loop device) and as FAT (fusefat), either as a counterfeit stick that
# wraps writes past its real size onto earlier data (within a batch, or
# onto the updates of an earlier one), or as a worn card that returns an
# inverted byte in some blocks.  One table of files on each: updates over
# older good files and one-sided copies, some into new directories, with
# answers j and b.  Which copies land on damaged blocks depends on the
# driver's layout; the table fixes what must hold for each: a copy that is
# reported as differing keeps its old target byte for byte (or leaves
# nothing behind), or, damaged after it was put in place, carries the time
# 1 January 1980; every other copy reads back equal to its source once the
# drive is mounted afresh, no temporary file or empty directory is left,
# and the run ends with status 2.  Every drive damages at least one copy,
# and all but the stick that reaches an earlier batch leave at least one
# intact; that stick damages at least one copy already in place.  Skipped where FUSE, loop
# devices or the drivers are missing.
. "$(dirname "$0")/common.sh"

# The daemons, mount points and loop devices of this script, for the trap.
DAEMONS=()
MOUNTED=()
LOOPS=()

# unmount DIR PID: unmounts DIR and waits until its daemon PID has ended.
unmount() {
  umount "$1" 2>/dev/null || fusermount3 -u "$1" 2>/dev/null ||
    umount -l "$1" 2>/dev/null || true
  wait "$2" 2>/dev/null || true
}

# release_all: unmounts, latest first, and detaches the loop devices; the
# exit status of the script is kept.
release_all() {
  local status=$? i
  for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
    [ -n "${MOUNTED[$i]:-}" ] && unmount "${MOUNTED[$i]}" "${DAEMONS[$i]}"
  done
  for i in "${LOOPS[@]}"; do losetup -d "$i" 2>/dev/null || true; done
  (exit "$status")
  cleanup
}
trap release_all EXIT

# start DIR COMMAND...: runs the daemon COMMAND in the background and
# waits until DIR is a mount point; fails if it does not become one.
start() {
  local dir=$1
  shift
  "$@" >/dev/null 2>&1 &
  DAEMONS+=($!)
  MOUNTED+=("$dir")
  wait_for_mount "$dir"
}

# stop DIR: unmounts DIR, mounted by start.
stop() {
  local i
  for i in "${!MOUNTED[@]}"; do
    if [ "${MOUNTED[$i]}" = "$1" ]; then
      unmount "$1" "${DAEMONS[$i]}"
      MOUNTED[i]=""
    fi
  done
}

# The table of files, the same on every drive: what happens to each (an
# update over an older good file, a one-sided file, a one-sided file in
# new directories), its path below the trees, its size in KiB, and where
# (all drives, or only those that flip bytes: a wrapped write may land on
# the directory a copy made, which breaks the file system, not the copy).
TABLE='update   old1.bin         1200 all
update   old2.bin         900  all
update   keep/old3.bin    700  all
update   keep/old4.bin    120  all
update   old5.bin         60   all
one      one1.bin         2500 all
one      one2.bin         1800 all
one      keep/one3.bin    900  all
one      one4.bin         100  all
one      one5.bin         40   all
one      one6.bin         3000 all
new-dir  made/one7.bin    700  flip
new-dir  made/deep/one8.bin 90 flip
new-dir  also/one9.bin    2200 flip'

# rows FAULT: the rows of TABLE for a drive with FAULT.
rows() {
  printf '%s\n' "$TABLE" | awk -v fault="$1" '$4 == "all" || $4 == fault'
}

# The faults of the drives, as faultyfs options, on an image of 64 MiB
# whose file system keeps its tables in the first 2 MiB, followed by the
# old files written before the run.  The updates come first, a batch of
# their own of about 3 MiB; the one-sided copies of about 8 MiB follow.
# The stick wraps what is written past 12 MiB onto 6 MiB and on, so that
# the one-sided copies overwrite each other, but not the updates: a write
# that damages a copy of an earlier batch, already in place, is beyond
# what a read-back of their own batch can see; the stick that wraps past
# 9 MiB onto 3 MiB and on reaches the updates as well, which the run reads
# back once more at its end.  The card flips a byte in every 64th block
# from 3 MiB on, in updates and one-sided copies alike.
fault_options() {
  case $1 in
    wrap) echo "wrap_at=12M,spare=6M" ;;
    reach) echo "wrap_at=9M,spare=3M" ;;
    flip) echo "flip_after=3M,flip_every=64" ;;
  esac
}

# up KIND DIR FAULT: serves DIR/image through faultyfs at DIR/faulty and
# mounts the file system of KIND in it at DIR/mnt; fails where it cannot.
up() {
  local kind=$1 dir=$2 fault=$3
  mkdir -p "$dir/faulty" "$dir/mnt"
  start "$dir/faulty" "$FAULTYFS" -f -o "$(fault_options "$fault")" \
    "$dir/image" "$dir/faulty" || return 1
  case $kind in
    exfat)
      LOOP=$(losetup -f --show "$dir/faulty/image" 2>/dev/null) || return 1
      LOOPS+=("$LOOP")
      start "$dir/mnt" mount.exfat-fuse -d "$LOOP" "$dir/mnt" ;;
    fat) start "$dir/mnt" fusefat -f -o rw+ "$dir/faulty/image" "$dir/mnt" ;;
  esac
}

# remount KIND DIR: mounts the file system afresh, with nothing cached of
# the drive, so that reads return what the drive holds.
remount() {
  stop "$2/mnt"
  case $1 in
    exfat)
      blockdev --flushbufs "$LOOP"
      start "$2/mnt" mount.exfat-fuse -d "$LOOP" "$2/mnt" ;;
    fat) start "$2/mnt" fusefat -f -o rw+ "$2/faulty/image" "$2/mnt" ;;
  esac
}

# down KIND DIR: unmounts the file system and faultyfs.
down() {
  stop "$2/mnt"
  if [ "$1" = exfat ]; then losetup -d "$LOOP" 2>/dev/null || true; fi
  stop "$2/faulty"
}

# The tools each file system needs.
tools_of() {
  case $1 in
    exfat) echo mkfs.exfat mount.exfat-fuse losetup blockdev ;;
    fat) echo mkfs.vfat fusefat ;;
  esac
}

# make_trees DIR FAULT: the left tree with the table's files, the drive
# with the older good files of its updates, and DIR/old with those files,
# to compare with.
make_trees() {
  local dir=$1 fault=$2 what path kib n=0
  while read -r what path kib _; do
    n=$((n + 1))
    mkdir -p "$(dirname "$dir/L/$path")"
    head -c $((kib * 1024)) /dev/urandom >"$dir/L/$path"
    touch -d "@$((1700000000 + n * 10))" "$dir/L/$path"
    if [ "$what" = update ]; then
      mkdir -p "$(dirname "$dir/old/$path")" "$(dirname "$dir/mnt/R/$path")"
      printf 'older good version of %s\n' "$path" >"$dir/old/$path"
      cp "$dir/old/$path" "$dir/mnt/R/$path"
      touch -d "@$((1600000000 + n * 10))" "$dir/mnt/R/$path"
    fi
  done < <(rows "$fault")
  mkdir -p "$dir/mnt/R/keep"
}

# check_drive LABEL DIR FAULT: what the drive holds after the run, mounted
# afresh, and what the run reported.
check_drive() {
  local label=$1 dir=$2 fault=$3 what path message
  local damaged=0 intact=0
  : >"$HELPER_DIR/expected"
  while read -r what path _; do
    message="Fehler beim Kopieren von \"L/$path\" nach \"mnt/R/$path\": Kopie auf dem Ziel weicht von der Quelle ab"
    if grep -qxF -- "$message" "$ERR"; then
      damaged=$((damaged + 1))
      printf '%s\n' "$message" >>"$HELPER_DIR/expected"
      if [ "$(stat -c %Y "$dir/mnt/R/$path" 2>/dev/null)" = "$START_OF_1980" ]; then
        # Damaged after it was put in place, and found at the end.
        cmp -s "$dir/L/$path" "$dir/mnt/R/$path" &&
          fail "$label: $path: reported, but the copy equals its source"
        REACHED=$((REACHED + 1))
      elif [ "$what" = update ]; then
        cmp -s "$dir/old/$path" "$dir/mnt/R/$path" ||
          fail "$label: $path: the older good file was not kept"
      elif [ -e "$dir/mnt/R/$path" ]; then
        fail "$label: $path: a refused copy stands on the drive"
      fi
    elif cmp -s "$dir/L/$path" "$dir/mnt/R/$path"; then
      intact=$((intact + 1))
    else
      fail "$label: $path: the copy on the drive differs from its source, and no error was reported"
    fi
  done < <(rows "$fault")
  sort -o "$HELPER_DIR/expected" "$HELPER_DIR/expected"
  sort "$ERR" >"$HELPER_DIR/sorted"
  check_same "$HELPER_DIR/expected" "$HELPER_DIR/sorted" "$label: stderr"
  if [ "$damaged" -gt 0 ]; then check_status 2 "$label"; else check_status 0 "$label"; fi
  [ "$damaged" -gt 0 ] || fail "$label: no copy landed on a damaged block"
  # The stick that reaches an earlier batch may damage every copy where the
  # copies in flight interleave their blocks; its point is the copy already
  # in place, which REACHED counts.
  [ "$intact" -gt 0 ] || [ "$fault" = reach ] ||
    fail "$label: every copy landed on a damaged block"
  (cd "$dir/mnt" && find . \( -name '.kalvern-*' -o -type d -empty \) -print) \
    >"$HELPER_DIR/left"
  check_same "$EMPTY" "$HELPER_DIR/left" "$label: temporary files and empty directories"
}

# test_drive KIND FAULT: the table on a drive of KIND with FAULT.
test_drive() {
  local kind=$1 fault=$2 dir=$TEST_TMP/$1-$2 tool
  for tool in $(tools_of "$kind"); do
    command -v "$tool" >/dev/null || { echo "SKIP: $kind: $tool is missing" >&2; return 0; }
  done
  mkdir -p "$dir"
  truncate -s 64M "$dir/image"
  case $kind in
    exfat) mkfs.exfat "$dir/image" >/dev/null ;;
    # Clusters of 4 KiB, as many directory entries as a block holds; the
    # data from 2 MiB on, as on exFAT.
    fat) mkfs.vfat -s 8 -R 4096 "$dir/image" >/dev/null ;;
  esac
  up "$kind" "$dir" "$fault" || {
    echo "SKIP: $kind: mounting is not permitted here" >&2
    return 0
  }
  TESTED=$((TESTED + 1))
  make_trees "$dir" "$fault"
  printf 'j\nb\n' >"$HELPER_DIR/answers"
  run_kalvern --stdin "$HELPER_DIR/answers" --cwd "$dir" -- -c 30 L mnt/R
  remount "$kind" "$dir" || fail "$kind, $fault: mounting again failed"
  REACHED=0
  check_drive "$kind, $fault" "$dir" "$fault"
  if [ "$fault" = reach ] && [ "$REACHED" -eq 0 ]; then
    fail "$kind, $fault: no copy of an earlier batch was damaged"
  fi
  down "$kind" "$dir"
}

if [ -z "${FAULTYFS:-}" ] || [ ! -x "$FAULTYFS" ]; then
  echo "SKIP: faultyfs was not built (libfuse3-dev and pkg-config are missing)" >&2
  exit 77
fi
if [ ! -c /dev/fuse ]; then
  echo "SKIP: /dev/fuse is missing; no drive can be mounted here" >&2
  exit 77
fi
TESTED=0
# The time given to a copy found damaged at the end of the run.
START_OF_1980=$(date -d '1980-01-01 00:00:00' +%s)
for kind in exfat fat; do
  for fault in wrap reach flip; do test_drive "$kind" "$fault"; done
done
if [ "$TESTED" -eq 0 ]; then
  echo "SKIP: no drive could be mounted here" >&2
  exit 77
fi
