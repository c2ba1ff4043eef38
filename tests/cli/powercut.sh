# A power cut after and during a run, on small ext4 and xfs file systems in
# image files.  The file system is shut down the way a power cut leaves it
# (journal committed, file data not yet written back) and mounted again;
# every target must then hold either its old bytes and time or the source's
# bytes and time, never a new time over other bytes.  Needs root, loop
# devices, mkfs.ext4, mkfs.xfs and xfs_io; skips itself (status 77) without.
. "$(dirname "$0")/common.sh"

skip() {
  echo "SKIP: $*" >&2
  exit 77
}

[ "$(id -u)" -eq 0 ] || skip "mounting file systems needs root"
for tool in mkfs.ext4 mkfs.xfs xfs_io mount umount; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (xfsprogs, e2fsprogs)"
done

MOUNTS=()
unmount_all() {
  local mnt
  for mnt in "${MOUNTS[@]}"; do
    mountpoint -q "$mnt" && umount "$mnt" 2>/dev/null || true
  done
}
trap 'status=$?; unmount_all; (exit $status); cleanup' EXIT

# make_fs TYPE DIR: a fresh file system of TYPE in an image file, mounted
# on DIR; skips the test where mounting is not permitted.
make_fs() {
  local type=$1 mnt=$2 image=$2.img
  mkdir -p "$mnt"
  truncate -s 320M "$image"
  case $type in
    ext4) mkfs.ext4 -q -F "$image" >/dev/null ;;
    xfs) mkfs.xfs -q -f "$image" >/dev/null ;;
  esac
  mount -o loop "$image" "$mnt" 2>"$HELPER_DIR/mount.err" ||
    skip "cannot mount a loop device here: $(cat "$HELPER_DIR/mount.err")"
  MOUNTS+=("$mnt")
}

# remount DIR: unmounts the shut-down file system and mounts it again, which
# replays its journal.
remount() {
  umount "$1"
  mount -o loop "$1.img" "$1"
}

# make_trees DIR EXPECT: trees with 200 updates and 100 one-sided files each
# way, with content of a few KiB, all written back before the run; records in
# the file EXPECT (outside the file system) for every target: "path old-time old-sum new-time new-sum"
# (old "- -" for a file that did not exist).
make_trees() {
  local dir=$1 expect=$2 i name
  mkdir -p "$dir/L" "$dir/R"
  for i in $(seq 1 200); do
    name=u/$((i % 10))/f$i
    make_file "$dir/L/$name" $((2000000 + i)) "$(head -c $((3000 + i)) /dev/urandom | base64)"
    make_file "$dir/R/$name" $((1000000 + i)) "old $i"
  done
  for i in $(seq 1 100); do
    make_file "$dir/L/only-left/$((i % 7))/n$i" $((3000000 + i)) "$(head -c 5000 /dev/urandom | base64)"
    make_file "$dir/R/only-right/$((i % 7))/n$i" $((4000000 + i)) "$(head -c 5000 /dev/urandom | base64)"
  done
  sync
  sum() { cksum <"$1" | cut -d' ' -f1; }
  : >"$expect"
  for i in $(seq 1 200); do
    name=u/$((i % 10))/f$i
    printf '%s %s %s %s %s\n' "R/$name" $((1000000 + i)) "$(sum "$dir/R/$name")" \
      $((2000000 + i)) "$(sum "$dir/L/$name")" >>"$expect"
  done
  for i in $(seq 1 100); do
    name=only-left/$((i % 7))/n$i
    printf '%s - - %s %s\n' "R/$name" $((3000000 + i)) "$(sum "$dir/L/$name")" >>"$expect"
    name=only-right/$((i % 7))/n$i
    printf '%s - - %s %s\n' "L/$name" $((4000000 + i)) "$(sum "$dir/R/$name")" >>"$expect"
  done
}

# check_targets DIR EXPECT LABEL: every target listed in EXPECT holds its old
# state or the new one; prints how many hold which.
check_targets() {
  local dir=$1 expect=$2 label=$3 path old_time old_sum new_time new_sum time sum
  local new=0 old=0 torn=0
  while read -r path old_time old_sum new_time new_sum; do
    if [ ! -e "$dir/$path" ]; then
      if [ "$old_time" = - ]; then old=$((old + 1)); else torn=$((torn + 1)); fail "$label: $path is gone"; fi
      continue
    fi
    time=$(stat -c %Y "$dir/$path")
    sum=$(cksum <"$dir/$path" | cut -d' ' -f1)
    if [ "$time $sum" = "$new_time $new_sum" ]; then
      new=$((new + 1))
    elif [ "$time $sum" = "$old_time $old_sum" ]; then
      old=$((old + 1))
    else
      torn=$((torn + 1))
      fail "$label: $path has time $time over other bytes ($(stat -c %s "$dir/$path") bytes)"
    fi
  done <"$expect"
  [ $((new + old + torn)) -eq 400 ] || fail "$label: $((new + old + torn)) of 400 targets checked"
  echo "$label: $new targets new, $old old, $torn torn"
}

# power_cut TYPE WHEN: one run on a fresh file system of TYPE, cut off
# right after the run (WHEN=after) or in its middle (WHEN=during).
power_cut() {
  local type=$1 when=$2 mnt=$TEST_TMP/$1-$2 pid i
  make_fs "$type" "$mnt"
  make_trees "$mnt/t" "$mnt.expect"
  if [ "$when" = after ]; then
    run_kalvern --stdin "$(expected 'b\n')" --cwd "$mnt/t" -- -y -c 30 L R
    check_status 0 "$LAST_RUN on $type"
    check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN on $type"
  else
    env -C "$mnt/t" "$KALVERN" -y -c 30 L R <"$(expected 'b\n')" >"$OUT" 2>"$ERR" &
    pid=$!
    # Cut it off once a third of the copies have begun.
    for i in $(seq 1 400); do
      [ "$(grep -c ' -> ' "$OUT" || true)" -ge 130 ] && break
      sleep 0.01
    done
  fi
  xfs_io -x -c "shutdown -f" "$mnt"
  if [ "$when" = during ]; then wait "$pid" || true; fi
  remount "$mnt"
  check_targets "$mnt/t" "$mnt.expect" "$type, power cut $when the run"
  umount "$mnt"
}

power_cut ext4 after
power_cut ext4 during
power_cut xfs after
power_cut xfs during
