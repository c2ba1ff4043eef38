#!/usr/bin/env bash
# patch.sh: what an update writes where the target's file system can clone:
# a large file changed in a few places, and a log grown at its end, updated
# onto xfs (reflink on, as mkfs.xfs makes it), btrfs and, for a file system
# that cannot clone, ext4.  Each kalvern given runs on the same cases, side
# by side.
#
# Usage:
#   bash bench/patch.sh                          256 MiB files
#   bash bench/patch.sh -b /path/to/old/kalvern  an earlier build beside it
#   MIB=64 ROUNDS=1 bash bench/patch.sh          quick run
#
# Options, each also settable by the environment variable in brackets:
#   -m MIB       size of the file in MiB [MIB, default 256]
#   -r ROUNDS    timed runs of each build and case [ROUNDS, default 3]
#   -d DIR       where the files, the images and the build go [WORK,
#                default bench/work-patch]
#   -k BINARY    kalvern to measure [KALVERN; default: a Release build made
#                in DIR/build]
#   -b BINARY    an earlier kalvern, measured beside it [BASE]
#   -f "FS..."   file systems [FSES, default "xfs btrfs ext4"]
#
# The cases: the left tree, on the disk that holds DIR, has the newer file;
# the right tree, on a fresh file system of a 1 GiB image on a loop device,
# the older one:
#   scattered  26 ranges of 26 KB changed at scattered offsets (0.25 %);
#   grown      a log grown by 1 MiB at its end.
# Before each timed run the file system is made afresh, the old file written
# onto it, unmounted and mounted again, and the page cache dropped; then
# the program is started once (kalvern -v, cat /dev/null), so that loading
# it from the disk is not timed.  Each run is kalvern -y L R; the table
# holds medians of its wall time and of the bytes written to the loop
# device (its sectors written in /sys/block/loopN/stat, counted until the
# file system is unmounted after the run), and the time against the floor:
# both files read once with cat, on cold caches, in the same round (the
# median of the rounds' ratios).
# Targets on xfs and btrfs: scattered at most 2 % of the file's bytes
# written, grown at most 2 MiB; the time at most 1.1 times the floor.
#
# Runs as root (loop devices, mounts) and installs with apt-get what is
# missing (xfsprogs, btrfs-progs).

set -euo pipefail
export LC_ALL=C

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")

MIB=${MIB:-256}
ROUNDS=${ROUNDS:-3}
WORK=${WORK:-$bench_dir/work-patch}
KALVERN=${KALVERN:-}
BASE=${BASE:-}
FSES=${FSES:-xfs btrfs ext4}

while [ $# -gt 0 ]; do
  case $1 in
    -m) MIB=$2; shift 2 ;;
    -r) ROUNDS=$2; shift 2 ;;
    -d) WORK=$2; shift 2 ;;
    -k) KALVERN=$2; shift 2 ;;
    -b) BASE=$2; shift 2 ;;
    -f) FSES=$2; shift 2 ;;
    -h|--help) sed -n '2,/^$/{s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "patch.sh: unknown argument $1" >&2; exit 1 ;;
  esac
done

if [ "$(id -u)" != 0 ]; then
  echo "patch.sh: run it as root (it makes loop devices and mounts)" >&2
  exit 1
fi

# shellcheck source=bench/common.sh
. "$bench_dir/common.sh"
install_missing mkfs.xfs xfsprogs mkfs.btrfs btrfs-progs

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
mnt=$WORK/mnt
mkdir -p "$mnt"
build_release
builds=(new)
declare -A binary=([new]=$KALVERN)
if [ -n "$BASE" ]; then builds+=(base); binary[base]=$BASE; fi

loop=
release() {
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  if [ -n "$loop" ]; then losetup -d "$loop" 2>/dev/null || true; loop=; fi
}
trap release EXIT
trap 'exit 130' INT

# Bytes written to the loop device since it was made.
loop_written() { awk '{ printf "%.0f\n", $7 * 512 }' "/sys/block/${loop#/dev/}/stat"; }

# The files: the old one, and the left trees of both cases.
make_files() {
  local bytes=$(( MIB << 20 )) i
  [ -f "$WORK/files.mib" ] && [ "$(cat "$WORK/files.mib")" = "$MIB" ] && return
  rm -rf "$WORK/old" "$WORK/scattered" "$WORK/grown"
  mkdir -p "$WORK/scattered" "$WORK/grown"
  head -c "$bytes" /dev/urandom >"$WORK/old"
  cp "$WORK/old" "$WORK/scattered/file"
  for (( i = 0; i < 26; i++ )); do
    head -c 26000 /dev/urandom | dd of="$WORK/scattered/file" bs=26000 \
      seek=$(( (i * 2654435761 + 12345) % (bytes - 26000) )) oflag=seek_bytes \
      conv=notrunc status=none
  done
  { cat "$WORK/old"; head -c $(( 1 << 20 )) /dev/urandom; } >"$WORK/grown/file"
  touch -d @1700000000 "$WORK/scattered/file" "$WORK/grown/file"
  echo "$MIB" >"$WORK/files.mib"
}

# prepare FS: a fresh file system of FS on the image, the old file written
# onto it, mounted afresh, caches dropped.
prepare() {
  release
  rm -f "$WORK/image" && truncate -s 1G "$WORK/image"
  case $1 in
    xfs) mkfs.xfs -q -f "$WORK/image" ;;
    btrfs) mkfs.btrfs -q -f "$WORK/image" >/dev/null ;;
    ext4) mkfs.ext4 -q -F "$WORK/image" ;;
  esac
  loop=$(losetup -f --show "$WORK/image")
  mount "$loop" "$mnt"
  mkdir "$mnt/R"
  cp "$WORK/old" "$mnt/R/file"
  touch -d @1600000000 "$mnt/R/file"
  umount "$mnt"
  mount "$loop" "$mnt"
  sync
  echo 3 >/proc/sys/vm/drop_caches
}

# run_case FS CASE BUILD: one timed run; run_us and run_written are set.
run_case() {
  local start before status=0
  prepare "$1"
  "${binary[$3]}" -v >/dev/null
  before=$(loop_written)
  start=$(now_us)
  "${binary[$3]}" -y "$WORK/$2" "$mnt/R" </dev/null >/dev/null 2>"$WORK/err" || status=$?
  run_us=$(( $(now_us) - start ))
  if [ "$status" != 0 ] || [ -s "$WORK/err" ]; then
    echo "patch.sh: $1 $2 with ${binary[$3]}: status $status" >&2; head -3 "$WORK/err" >&2; exit 1
  fi
  cmp -s "$WORK/$2/file" "$mnt/R/file" ||
    { echo "patch.sh: $1 $2 with ${binary[$3]}: other bytes afterwards" >&2; exit 1; }
  umount "$mnt"
  run_written=$(( $(loop_written) - before ))
  release
}

# floor_us FS CASE: both files read once with cat, on cold caches.
floor_us() {
  local start
  prepare "$1"
  cat /dev/null
  start=$(now_us)
  cat "$WORK/$2/file" "$mnt/R/file" >/dev/null
  echo $(( $(now_us) - start ))
  release
}

make_files
bytes=$(( MIB << 20 ))
echo "kalvern patch benchmark: $MIB MiB, $ROUNDS rounds; kernel $(uname -r)"
for build in "${builds[@]}"; do echo "  $build: ${binary[$build]}"; done
echo
printf '%-6s %-10s %-5s %10s %16s %9s %10s\n' fs case build "time [s]" \
  "bytes written" "of file" "x floor"
for fs in $FSES; do
  for case in scattered grown; do
    declare -A times=() written=() ratios=()
    # The floor and the builds take turns, so that a slow spell of the disk
    # hits each of them.
    for (( round = 0; round < ROUNDS; round++ )); do
      floor=$(floor_us "$fs" "$case")
      times[floor]+="$floor "
      for build in "${builds[@]}"; do
        run_case "$fs" "$case" "$build"
        times[$build]+="$run_us "
        written[$build]+="$run_written "
        ratios[$build]+="$(calc '%.4f' "$run_us / $floor") "
      done
    done
    # shellcheck disable=SC2086
    floor=$(median ${times[floor]})
    for build in "${builds[@]}"; do
      # shellcheck disable=SC2086
      t=$(median ${times[$build]})
      # shellcheck disable=SC2086
      w=$(median ${written[$build]})
      # shellcheck disable=SC2086
      r=$(median ${ratios[$build]})
      printf '%-6s %-10s %-5s %10s %16s %8s%% %10s\n' "$fs" "$case" "$build" \
        "$(calc '%.2f' "$t / 1e6")" "$w" "$(calc '%.2f' "100 * $w / $bytes")" \
        "$(calc '%.2f' "$r")"
    done
    printf '%-6s %-10s %-5s %10s\n' "$fs" "$case" floor "$(calc '%.2f' "$floor / 1e6")"
    unset times written ratios
  done
done
echo
echo "targets on xfs and btrfs: scattered at most 2% of the file written, grown"
echo "at most 2 MiB ($(( 2 << 20 )) bytes); time at most 1.1 x the floor (cat of both files)"
