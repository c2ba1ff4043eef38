# Updates onto file systems that can clone (xfs with reflink, btrfs), each in
# an image on a loop device, from a source elsewhere: for each row of a
# table of changes to an old file of 4 MiB, the target ends with the
# source's bytes and time, and the bytes written to the device stay within
# the row's bound; a hole of the source stays one.  SIGINT during such an
# update leaves the old file whole.  A source in another subvolume of the
# same btrfs is cloned whole, its target not read.  Needs root; a file
# system that cannot be made or mounted here is skipped with a message.
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

MIB=$((1 << 20))
head -c $((4 * MIB)) /dev/urandom >"$TEST_TMP/old"

# A row's name, the most bytes its update may write to the device (with
# "+", the least), and how its source differs from the old file.
ROWS="none 1048576 the same bytes
one 1048576 one block
scattered 1048576 eight ranges, two across block borders
grown 2097152 1 MiB more at the end
shrunk 1048576 cut to 3 MiB
all +4194304 every byte
hole 1048576 1 MiB of the middle a hole"

# make_pair ROW L R: the source of ROW in directory L, dated 1700000000,
# and the old file in R, dated 1600000000.
make_pair() {
  local at
  mkdir -p "$2" "$3"
  case $1 in
    grown) { cat "$TEST_TMP/old"; head -c "$MIB" /dev/urandom; } >"$2/file" ;;
    shrunk) head -c $((3 * MIB)) "$TEST_TMP/old" >"$2/file" ;;
    all) head -c $((4 * MIB)) /dev/urandom >"$2/file" ;;
    *) cp "$TEST_TMP/old" "$2/file" ;;
  esac
  case $1 in
    one) set -- "$@" 1228800:4096 ;;
    scattered) set -- "$@" 81910:20 600000:3000 1200000:3000 1800000:3000 \
      2400000:3000 3000000:3000 3600000:3000 $((4 * MIB - 100)):100 ;;
    hole) fallocate -p -o "$MIB" -l "$MIB" "$2/file" ;;
  esac
  for at in "${@:4}"; do
    head -c "${at#*:}" /dev/urandom | dd of="$2/file" bs="${at#*:}" \
      seek="${at%:*}" oflag=seek_bytes conv=notrunc status=none
  done
  cp "$TEST_TMP/old" "$3/file"
  touch -d @1700000000 "$2/file"
  touch -d @1600000000 "$3/file"
}

# mount_fs KIND DIR: a fresh file system of KIND in an image on a loop
# device LOOP, mounted on DIR; false where that cannot be done here.
mount_fs() {
  truncate -s 320M "$2.img" && mkdir -p "$2" &&
    "mkfs.$1" -q -f "$2.img" >/dev/null 2>&1 &&
    LOOP=$(losetup -f --show "$2.img" 2>/dev/null) && LOOPS+=("$LOOP") &&
    mount "$LOOP" "$2" 2>/dev/null && return 0
  echo "SKIP: $1 not tested: it cannot be made or mounted here" >&2
  return 1
}

# Bytes written to the device LOOP since it was set up (read, with 3).
written() { echo $(( $(awk "{ print \$${1:-7} }" "/sys/block/${LOOP#/dev/}/stat") * 512 )); }

# test_changes KIND DIR: each row of the table as one update onto DIR.
test_changes() {
  local kind=$1 dir=$2 row bound label before bytes
  while read -r row bound label; do
    make_pair "$row" "$dir.L/$row" "$dir/R/$row"
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
      +*) [ "$bytes" -ge "${bound#+}" ] ;;
      *) [ "$bytes" -le "$bound" ] ;;
    esac || fail "$kind, $label: $bytes bytes written, bound $bound"
  done <<<"$ROWS"
  [ "$(stat -c %b "$dir/R/hole/file")" -le $((3 * MIB / 512)) ] || fail "$kind: the hole was filled"
}

# test_stopped KIND DIR: SIGINT while an update onto DIR is written, its
# reads of the source held back by strace: status 130, the old file whole.
test_stopped() {
  local dir=$2/stopped source=$2.L/stopped tracer pid i
  make_pair grown "$source" "$dir"
  strace -o /dev/null -f -P "$source/file" -e trace=pread64 \
    -e inject=pread64:delay_enter=3000000 \
    "$KALVERN" -y "$source" "$dir" </dev/null >/dev/null 2>&1 &
  tracer=$!
  for i in $(seq 1 100); do
    [ -z "$(find "$dir" -name '.kalvern-*')" ] || break
    sleep 0.05
  done
  pid=$(pgrep -P "$tracer" -x kalvern || true)
  if [ -n "$pid" ]; then kill -INT "$pid"; else fail "$1: no update to stop"; fi
  wait "$tracer" && STATUS=0 || STATUS=$?
  check_status 130 "$1: kalvern -y stopped"
  cmp -s "$TEST_TMP/old" "$dir/file" || fail "$1: the old file changed"
  [ -z "$(find "$dir" -name '.kalvern-*')" ] || fail "$1: temporary file left"
}

# test_subvolumes DIR: an update between two subvolumes of the btrfs on DIR
# reads nothing from the device.
test_subvolumes() {
  local dir=$1/subvolumes bytes
  mkdir "$dir"
  btrfs subvolume create "$dir/L" >/dev/null
  btrfs subvolume create "$dir/R" >/dev/null
  make_pair grown "$dir/L" "$dir/R"
  sync
  echo 3 >/proc/sys/vm/drop_caches
  bytes=$(written 3)
  run_kalvern -- -y "$dir/L" "$dir/R"
  bytes=$(( $(written 3) - bytes ))
  check_status 0 "btrfs subvolumes: $LAST_RUN"
  cmp -s "$dir/L/file" "$dir/R/file" || fail "btrfs subvolumes: other bytes"
  [ "$bytes" -lt "$MIB" ] || fail "btrfs subvolumes: $bytes bytes read"
}

need_tool strace strace
TESTED=0
for kind in xfs btrfs; do
  mount_fs "$kind" "$TEST_TMP/$kind" || continue
  TESTED=$((TESTED + 1))
  test_changes "$kind" "$TEST_TMP/$kind"
  test_stopped "$kind" "$TEST_TMP/$kind"
  if [ "$kind" = btrfs ]; then test_subvolumes "$TEST_TMP/$kind"; fi
done
[ "$TESTED" -gt 0 ] || { echo "SKIP: neither xfs nor btrfs could be mounted here" >&2; exit 77; }
