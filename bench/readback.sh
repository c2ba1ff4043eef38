#!/usr/bin/env bash
# readback.sh: what the read-back of copies costs on a carried drive: a
# synchronisation onto an exFAT file system through FUSE (exfat-fuse on a
# loop device over a plain image file, no faults), timed with the read-back
# and with it left out when building.
#
# Usage:
#   bash bench/readback.sh                 200 MB in files of 1 to 8 MB
#   MB=50 ROUNDS=1 bash bench/readback.sh  quick run
#   bash bench/readback.sh -m 200 -r 5 -d /tmp/kalvern-readback
#
# Options, each also settable by the environment variable in brackets:
#   -m MB        megabytes (10^6 bytes) to synchronise [MB, default 200]
#   -r ROUNDS    timed runs of each build [ROUNDS, default 5]
#   -d DIR       where the tree, the image and the builds go [WORK, default
#                bench/work-readback]
#   -s SEED      seed of the file sizes [SEED, default 1]
#   -k BINARY    kalvern with the read-back [KALVERN; default: a Release
#                build made in DIR/build]
#   -n BINARY    kalvern built with -DKALVERN_READ_BACK=0 [KALVERN_NO_READ_BACK;
#                default: a Release build made in DIR/build-no-read-back]
#
# What it measures: kalvern -y answering "b" copies the left tree, files of
# 1 to 8 MB, into an empty tree on a fresh exFAT file system of an image
# twice the tree's size, served by exfat-fuse on a loop device.  Before
# every run the file system is made afresh, mounted, and the page cache,
# dentries and inodes are dropped (sync; echo 3 > /proc/sys/vm/drop_caches),
# so that the source is read from the disk too.  The two builds run
# interleaved, their order rotating per round; the table holds medians of
# the wall time and of the bytes the loop device read (its sectors read in
# /sys/block/loopN/stat): without the read-back only the file system's
# tables, with it each copied byte once more.  The device's read-ahead reads
# past the end of each file, so one more run of each build, not timed,
# counts the bytes with the read-ahead switched off (blockdev --setra 0):
# those are what the builds asked of the drive.  The target: with the
# read-back at most 1.5 times the time without, and each copied byte read
# back once, not more.
#
# Runs as root (it makes loop devices and mounts) and installs with apt-get
# what is missing (exfat-fuse, exfatprogs).  The mount and the loop device
# are removed on exit, also after an error or an interrupt.

set -euo pipefail
export LC_ALL=C

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")

MB=${MB:-200}
ROUNDS=${ROUNDS:-5}
WORK=${WORK:-$bench_dir/work-readback}
SEED=${SEED:-1}
KALVERN=${KALVERN:-}
KALVERN_NO_READ_BACK=${KALVERN_NO_READ_BACK:-}

usage() {
  sed -n '2,/^$/{s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
  exit "${1:-0}"
}

while [ $# -gt 0 ]; do
  case $1 in
    -m) MB=$2; shift 2 ;;
    -r) ROUNDS=$2; shift 2 ;;
    -d) WORK=$2; shift 2 ;;
    -s) SEED=$2; shift 2 ;;
    -k) KALVERN=$2; shift 2 ;;
    -n) KALVERN_NO_READ_BACK=$2; shift 2 ;;
    -h|--help) usage 0 ;;
    *) echo "readback.sh: unknown argument $1" >&2; usage 1 >&2 ;;
  esac
done

for value in "$MB" "$ROUNDS" "$SEED"; do
  case $value in
    ''|*[!0-9]*|0) echo "readback.sh: expected a positive whole number, got '$value'" >&2
                   exit 1 ;;
  esac
done

# ---------------------------------------------------------------- tools

if [ "$(id -u)" != 0 ]; then
  echo "readback.sh: run it as root (it makes loop devices and mounts)" >&2
  exit 1
fi
packages=()
command -v mount.exfat-fuse >/dev/null 2>&1 || packages+=(exfat-fuse)
command -v mkfs.exfat >/dev/null 2>&1 || packages+=(exfatprogs)
if [ ${#packages[@]} -gt 0 ]; then
  echo "Installing ${packages[*]} ..."
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${packages[@]}" >/dev/null
fi
if [ ! -c /dev/fuse ]; then
  echo "readback.sh: no /dev/fuse: this machine cannot mount FUSE file systems" >&2
  exit 1
fi

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
mnt=$WORK/mnt
if grep -qF " $mnt " /proc/self/mountinfo; then
  echo "readback.sh: $mnt is still mounted (another run?); unmount it first" >&2
  exit 1
fi
mkdir -p "$mnt"

# build DIR FLAGS: a Release build of kalvern in DIR with the compiler flags
# FLAGS; prints the binary's path.
build() {
  cmake -S "$repo_dir" -B "$1" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    "-DCMAKE_CXX_FLAGS=$2" >/dev/null
  cmake --build "$1" -j"$(nproc)" --target kalvern >/dev/null
  echo "$1/kalvern"
}
if [ -z "$KALVERN" ]; then
  echo "Building kalvern (Release) in $WORK/build ..."
  KALVERN=$(build "$WORK/build" "")
fi
if [ -z "$KALVERN_NO_READ_BACK" ]; then
  echo "Building kalvern without the read-back in $WORK/build-no-read-back ..."
  KALVERN_NO_READ_BACK=$(build "$WORK/build-no-read-back" "-DKALVERN_READ_BACK=0")
fi
for binary in "$KALVERN" "$KALVERN_NO_READ_BACK"; do
  [ -x "$binary" ] || { echo "readback.sh: no kalvern binary at $binary" >&2; exit 1; }
done

# ------------------------------------------------------ drive and tree

# The loop device and the exfat-fuse daemon of the mounted drive.
loop=
daemon=

# Makes a fresh exFAT file system on the image and mounts it at $mnt; the
# loop device reads ahead $1 sectors where given.
mount_drive() {
  local tries
  mkfs.exfat "$WORK/image" >/dev/null
  loop=$(losetup -f --show "$WORK/image")
  # Before the driver opens the device, which keeps the setting it finds.
  [ $# -eq 0 ] || blockdev --setra "$1" "$loop"
  mount.exfat-fuse -d "$loop" "$mnt" >/dev/null 2>&1 &
  daemon=$!
  for (( tries = 0; tries < 200; tries++ )); do
    if mountpoint -q "$mnt"; then
      mkdir "$mnt/R"
      return 0
    fi
    sleep 0.05
  done
  echo "readback.sh: exfat-fuse could not mount $loop on $mnt" >&2
  exit 1
}

# Unmounts the drive, waits for its daemon and detaches the loop device.
unmount_drive() {
  if [ -n "$daemon" ]; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    daemon=
  fi
  if [ -n "$loop" ]; then
    losetup -d "$loop" 2>/dev/null || true
    loop=
  fi
}
trap unmount_drive EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Bytes the loop device has read since it was made.
loop_read_bytes() {
  awk '{ printf "%.0f\n", $3 * 512 }' "/sys/block/${loop#/dev/}/stat"
}

# The left tree: files of 1 to 8 MB (sizes from SEED), MB megabytes in all;
# one made with the same settings is kept.
make_tree() {
  local settings="mb=$MB seed=$SEED" size n=0
  if [ -f "$WORK/L.settings" ] && [ "$(cat "$WORK/L.settings")" = "$settings" ]; then
    return
  fi
  rm -rf "$WORK/L"
  mkdir -p "$WORK/L"
  awk -v total=$(( MB * 1000000 )) -v seed="$SEED" 'BEGIN {
    srand(seed)
    while (total > 0) {
      size = int(1000000 + rand() * 7000000)
      if (size > total) size = total
      print size
      total -= size
    }
  }' | while read -r size; do
    n=$(( n + 1 ))
    head -c "$size" /dev/urandom >"$WORK/L/file-$n.bin"
  done
  echo "$settings" >"$WORK/L.settings"
}

# shellcheck source=bench/common.sh
. "$bench_dir/common.sh"

# The files of tree $1 with size and time in whole seconds (exFAT keeps
# hundredths), sorted.
tree_seconds() {
  (cd "$1" && find . -type f -printf '%P\t%s\t%Ts\n' | sort)
}

# time_sync BINARY [READAHEAD]: copies the left tree onto a fresh drive on
# cold caches, the loop device reading ahead READAHEAD sectors (default: as
# the kernel sets it); run_us gets the wall time, run_read the bytes the
# loop device read.
time_sync() {
  local start end before status=0
  mount_drive "${@:2}"
  sync
  echo 3 >/proc/sys/vm/drop_caches
  before=$(loop_read_bytes)
  start=$(now_us)
  (cd "$WORK" && "$1" -y L mnt/R <<<b >/dev/null 2>"$WORK/kalvern.err") || status=$?
  end=$(now_us)
  run_read=$(( $(loop_read_bytes) - before ))
  run_us=$(( end - start ))
  if [ "$status" -ne 0 ] || [ -s "$WORK/kalvern.err" ]; then
    echo "readback.sh: $1 ended with status $status:" >&2
    head -5 "$WORK/kalvern.err" >&2
    exit 1
  fi
  if ! cmp -s <(tree_seconds "$WORK/L") <(tree_seconds "$mnt/R"); then
    echo "readback.sh: the drive does not hold the tree after $1" >&2
    exit 1
  fi
  unmount_drive
}

# ------------------------------------------------------------- the run

echo "kalvern read-back benchmark: $KALVERN ($("$KALVERN" -v))"
echo "without the read-back: $KALVERN_NO_READ_BACK"
echo "MB=$MB, seed $SEED, $ROUNDS rounds, work directory $WORK, kernel $(uname -r)"
echo

echo "Generating the tree ..."
make_tree
files=$(find "$WORK/L" -type f | wc -l)
bytes=$(find "$WORK/L" -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
rm -f "$WORK/image"
truncate -s $(( 2 * bytes + 64 * 1024 * 1024 )) "$WORK/image"
echo "  $files files, $bytes bytes; image $(( $(stat -c %s "$WORK/image") >> 20 )) MiB"

declare -A binary=([with]=$KALVERN [without]=$KALVERN_NO_READ_BACK)
declare -A times=() reads=()
variants=(with without)
for (( round = 0; round < ROUNDS; round++ )); do
  for (( k = 0; k < 2; k++ )); do
    variant=${variants[(round + k) % 2]}
    time_sync "${binary[$variant]}"
    times[$variant]+="$run_us "
    reads[$variant]+="$run_read "
    echo "  round $(( round + 1 )), $variant read-back:" \
      "$(calc '%.2f' "$run_us / 1e6") s, $run_read bytes read from the drive"
  done
done

# The bytes read from the drive once more, without the device's read-ahead,
# which reads past the end of a file: what each build asked of it.
declare -A exact=()
for variant in "${variants[@]}"; do
  time_sync "${binary[$variant]}" 0
  exact[$variant]=$run_read
done

# shellcheck disable=SC2086
with_s=$(calc '%.2f' "$(median ${times[with]}) / 1e6")
# shellcheck disable=SC2086
without_s=$(calc '%.2f' "$(median ${times[without]}) / 1e6")
# shellcheck disable=SC2086
with_read=$(median ${reads[with]})
# shellcheck disable=SC2086
without_read=$(median ${reads[without]})
ratio=$(calc '%.2f' "$with_s / $without_s")
read_back=$(calc '%.3f' "(${exact[with]} - ${exact[without]}) / $bytes")

echo
echo "Synchronisation of $bytes bytes in $files files onto exFAT through" \
  "exfat-fuse, cold caches, medians of $ROUNDS rounds"
printf '%-34s %14s %14s\n' "" "read-back" "without"
printf '%-34s %14s %14s\n' "wall time [s]" "$with_s" "$without_s"
printf '%-34s %14s %14s\n' "bytes read from the drive" "$with_read" "$without_read"
printf '%-34s %14s %14s\n' "  the same without read-ahead" "${exact[with]}" "${exact[without]}"
echo
echo "time with / without: $ratio (target at most 1.50:" \
  "$(awk -v r="$ratio" 'BEGIN { print (r <= 1.5 ? "ok" : "MISSED") }'))"
echo "copied bytes read back: $read_back times each (target 1:" \
  "$(awk -v r="$read_back" 'BEGIN { print (r >= 0.95 && r <= 1.05 ? "ok" : "MISSED") }'))"
