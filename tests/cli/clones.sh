# Updates onto file systems that can clone (xfs with reflink, btrfs), each in
# an image on a loop device: for a table of changes between the old file of
# 4 MiB and the new one, the target holds the source's bytes and time
# afterwards, and the bytes written to the device stay within the row's
# bound (few where little changed, a whole file where all of it did).  A
# hole of the source stays a hole.  SIGINT while an update is patched
# leaves the old file whole and no temporary file.  A source in another
# subvolume of the same btrfs is cloned whole.  Needs root, losetup,
# mkfs.xfs and mkfs.btrfs; a file system that cannot be mounted here is
# skipped with a message.
. "$(dirname "$0")/common.sh"

LOOPS=()
release_all() {
  local status=$? loop
  for loop in "${LOOPS[@]}"; do
    umount "$loop" 2>/dev/null || true
    losetup -d "$loop" 2>/dev/null || true
  done
  (exit "$status")
  cleanup
}
trap release_all EXIT

[ "$(id -u)" -eq 0 ] || { echo "SKIP: mounting file systems needs root" >&2; exit 77; }
need_tool losetup mount

MIB=$((1 << 20))
head -c $((4 * MIB)) /dev/urandom >"$TEST_TMP/old"

# overwrite FILE OFFSET LENGTH: LENGTH random bytes at OFFSET of FILE.
overwrite() {
  head -c "$3" /dev/urandom |
    dd of="$1" bs="$3" seek="$2" oflag=seek_bytes conv=notrunc status=none
}

# The table: a row's name, the most bytes its update may write to the
# device (or, with a leading "+", the least), and how its source differs
# from the old file.
ROWS="none 1048576 the same bytes
one 1048576 one block
scattered 1048576 eight ranges, two of them across block borders
grown 2097152 1 MiB more at the end
shrunk 1048576 cut to 3 MiB
all +4194304 every byte
hole 1048576 1 MiB of the middle a hole"

# make_source ROW FILE: the new file of ROW, made from the old one.
make_source() {
  local i
  case $1 in
    none) cp "$TEST_TMP/old" "$2" ;;
    one) cp "$TEST_TMP/old" "$2"; overwrite "$2" $((300 * 4096)) 4096 ;;
    scattered)
      cp "$TEST_TMP/old" "$2"
      for i in 1 2 3 4 5 6; do overwrite "$2" $((i * 600000)) 3000; done
      overwrite "$2" $((4096 * 20 - 10)) 20
      overwrite "$2" $((4 * MIB - 100)) 100 ;;
    grown) { cat "$TEST_TMP/old"; head -c "$MIB" /dev/urandom; } >"$2" ;;
    shrunk) head -c $((3 * MIB)) "$TEST_TMP/old" >"$2" ;;
    all) head -c $((4 * MIB)) /dev/urandom >"$2" ;;
    hole) cp "$TEST_TMP/old" "$2"; fallocate -p -o "$MIB" -l "$MIB" "$2" ;;
  esac
  touch -d @1700000000 "$2"
}

# mount_fs KIND DIR: a fresh file system of KIND in an image on a loop
# device, mounted on DIR; its device in LOOP.  False where that fails here.
mount_fs() {
  local image=$2.img
  command -v "mkfs.$1" >/dev/null || { echo "SKIP: $1 not tested: mkfs.$1 is missing" >&2; return 1; }
  mkdir -p "$2"
  truncate -s 320M "$image"
  "mkfs.$1" -q -f "$image" >/dev/null 2>&1
  LOOP=$(losetup -f --show "$image" 2>"$HELPER_DIR/mount.err") &&
    LOOPS+=("$LOOP") && mount "$LOOP" "$2" 2>>"$HELPER_DIR/mount.err" || {
    echo "SKIP: $1 not tested: cannot mount it here: $(cat "$HELPER_DIR/mount.err")" >&2
    return 1
  }
}

# Bytes written to (read from: with 3) the device LOOP since it was set up.
written() { echo $(( $(awk "{ print \$${1:-7} }" "/sys/block/${LOOP#/dev/}/stat") * 512 )); }

# test_changes KIND DIR: each row of the table as one update onto DIR, from
# a source outside it.
test_changes() {
  local kind=$1 dir=$2 row bound label before bytes
  while read -r row bound label; do
    mkdir -p "$dir.L/$row" "$dir/R/$row"
    make_source "$row" "$dir.L/$row/file"
    cp "$TEST_TMP/old" "$dir/R/$row/file"
    touch -d @1600000000 "$dir/R/$row/file"
    sync -f "$dir/R"
    before=$(written)
    run_kalvern -- -y "$dir.L/$row" "$dir/R/$row"
    check_status 0 "$kind, $label: $LAST_RUN"
    check_same "$EMPTY" "$ERR" "$kind, $label: stderr"
    sync -f "$dir/R"
    bytes=$(( $(written) - before ))
    cmp -s "$dir.L/$row/file" "$dir/R/$row/file" || fail "$kind, $label: other bytes"
    [ "$(stat -c %Y "$dir/R/$row/file")" = 1700000000 ] || fail "$kind, $label: time"
    case $bound in
      +*) [ "$bytes" -ge "${bound#+}" ] || fail "$kind, $label: $bytes bytes written, expected at least ${bound#+}" ;;
      *) [ "$bytes" -le "$bound" ] || fail "$kind, $label: $bytes bytes written, expected at most $bound" ;;
    esac
  done <<<"$ROWS"
  [ "$(stat -c %b "$dir/R/hole/file")" -le $(( 3 * MIB / 512 )) ] ||
    fail "$kind: the hole was filled: $(stat -c %b "$dir/R/hole/file") blocks"
}

# test_stopped KIND DIR: SIGINT while an update onto DIR is patched, its
# reading of the source held back by strace: status 130, the old file whole.
test_stopped() {
  local kind=$1 dir=$2/stopped tracer pid i
  command -v strace >/dev/null || { echo "SKIP: $kind: strace is missing" >&2; return 0; }
  mkdir -p "$2.L/stopped" "$dir/R"
  make_source grown "$2.L/stopped/file"
  cp "$TEST_TMP/old" "$dir/R/file"
  touch -d @1600000000 "$dir/R/file"
  strace -o /dev/null -f -P "$2.L/stopped/file" -e trace=pread64 \
    -e inject=pread64:delay_enter=3000000 \
    "$KALVERN" -y "$2.L/stopped" "$dir/R" </dev/null >/dev/null 2>&1 &
  tracer=$!
  for i in $(seq 1 100); do
    [ -n "$(find "$dir/R" -name '.kalvern-*')" ] && break
    sleep 0.05
  done
  pid=$(pgrep -P "$tracer" -x kalvern || true)
  if [ -n "$pid" ]; then kill -INT "$pid"; else fail "$kind: no update to stop"; fi
  wait "$tracer" && STATUS=0 || STATUS=$?
  check_status 130 "$kind: kalvern -y stopped"
  cmp -s "$TEST_TMP/old" "$dir/R/file" || fail "$kind: the old file changed"
  [ -z "$(find "$dir/R" -name '.kalvern-*')" ] || fail "$kind: temporary file left"
}

# test_subvolumes DIR: a source in another subvolume of the btrfs on DIR is
# cloned whole, as before, and the old file is not read from the device.
test_subvolumes() {
  local dir=$1/subvolumes before bytes
  mkdir "$dir"
  btrfs subvolume create "$dir/L" >/dev/null
  btrfs subvolume create "$dir/R" >/dev/null
  make_source grown "$dir/L/file"
  cp "$TEST_TMP/old" "$dir/R/file"
  touch -d @1600000000 "$dir/R/file"
  sync
  echo 3 >/proc/sys/vm/drop_caches
  before=$(written 3)
  run_kalvern -- -y "$dir/L" "$dir/R"
  bytes=$(( $(written 3) - before ))
  check_status 0 "btrfs subvolumes: $LAST_RUN"
  cmp -s "$dir/L/file" "$dir/R/file" || fail "btrfs subvolumes: other bytes"
  [ "$bytes" -lt "$MIB" ] || fail "btrfs subvolumes: $bytes bytes read"
}

TESTED=0
for kind in xfs btrfs; do
  mount_fs "$kind" "$TEST_TMP/$kind" || continue
  TESTED=$((TESTED + 1))
  test_changes "$kind" "$TEST_TMP/$kind"
  test_stopped "$kind" "$TEST_TMP/$kind"
  if [ "$kind" = btrfs ]; then test_subvolumes "$TEST_TMP/$kind"; fi
done
if [ "$TESTED" -eq 0 ]; then
  echo "SKIP: neither xfs nor btrfs could be mounted here" >&2
  exit 77
fi
