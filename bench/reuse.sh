#!/usr/bin/env bash
# reuse.sh: what a synchronisation writes to a carried drive where the
# drive already holds the bytes: a renamed folder, touched files, and a FAT
# drive whose times are an hour off after a change of the clock.  Each
# kalvern given runs on the same drive made afresh, side by side.
#
# Usage:
#   bash bench/reuse.sh                       250 files of 0.4 to 1.2 MB
#   bash bench/reuse.sh -b OLD_KALVERN        an earlier build beside it
#   FILES=50 ROUNDS=1 bash bench/reuse.sh     quick run
#   CASES="renamed touched" bash bench/reuse.sh    some of the cases
#
# Options, each also settable by the environment variable in brackets:
#   -n FILES     files in the folder [FILES, default 250]
#   -r ROUNDS    timed runs of each build and case [ROUNDS, default 3]
#   -d DIR       where the folder, the images and the build go [WORK,
#                default bench/work-reuse]
#   -k BINARY    kalvern to measure [KALVERN; default: a Release build made
#                in DIR/build]
#   -b BINARY    an earlier kalvern, measured beside it [BASE]
#
# The cases, each on a fresh file system of an image on a loop device,
# mounted through FUSE (exFAT: exfat-fuse; FAT: fusefat), the drive then
# mounted afresh and the page cache dropped before the timed run:
#   renamed   the drive holds the folder as Fotos/, the left tree as
#             Bilder/; answers j, r (exFAT);
#   touched   both hold Fotos/, every left time an hour later; answer j
#             (exFAT);
#   fat-hour  20 files on FAT whose local times are an hour behind the
#             left tree's, as after a change of the computer's zone offset
#             (FAT keeps local times without a zone); answer j.  The drive
#             is served under TZ=UTC, the only zone in which fusefat sets
#             the times it shows, and its stored times are made an hour
#             earlier, as a zone an hour further west would show them;
#   fat-renamed, fat-touched   renamed and touched on FAT (fusefat).
# For each: the wall time (median), the bytes written to the drive (its
# sectors written in /sys/block/loopN/stat) against the folder's bytes, and
# for renamed the floor: reading the folder once from the drive with cat on
# cold caches.  Targets: at most 1% of the folder's bytes written; renamed
# at most 1.2 times the floor.
# With -b, one more case on the local disk, the comparison's worst case:
#   lastblock 40 updates of 8 MiB files whose targets differ from their
#             sources only in the last 4 KiB, so that the whole target is
#             read before it is written after all; answer j, caches dropped
#             before every run.  Target: at most 1.3 times the earlier
#             build's time.
#
# Runs as root (loop devices, mounts) and installs with apt-get what is
# missing (exfat-fuse, exfatprogs, fusefat, dosfstools).

set -euo pipefail
export LC_ALL=C

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")

FILES=${FILES:-250}
ROUNDS=${ROUNDS:-3}
WORK=${WORK:-$bench_dir/work-reuse}
KALVERN=${KALVERN:-}
BASE=${BASE:-}
SEED=1

while [ $# -gt 0 ]; do
  case $1 in
    -n) FILES=$2; shift 2 ;;
    -r) ROUNDS=$2; shift 2 ;;
    -d) WORK=$2; shift 2 ;;
    -k) KALVERN=$2; shift 2 ;;
    -b) BASE=$2; shift 2 ;;
    -h|--help) sed -n '2,/^$/{s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "reuse.sh: unknown argument $1" >&2; exit 1 ;;
  esac
done

if [ "$(id -u)" != 0 ]; then
  echo "reuse.sh: run it as root (it makes loop devices and mounts)" >&2
  exit 1
fi

# shellcheck source=bench/common.sh
. "$bench_dir/common.sh"
install_missing mount.exfat-fuse exfat-fuse mkfs.exfat exfatprogs fusefat fusefat \
  mkfs.vfat dosfstools

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
mnt=$WORK/mnt
mkdir -p "$mnt"
build_release
builds=(new)
declare -A binary=([new]=$KALVERN)
if [ -n "$BASE" ]; then builds+=(base); binary[base]=$BASE; fi

loop= daemon=
# mount_drive KIND: mounts the image of KIND on $mnt through FUSE.
mount_drive() {
  local tries
  loop=$(losetup -f --show "$WORK/$1.img")
  case $1 in
    exfat) mount.exfat-fuse -d "$loop" "$mnt" >/dev/null 2>&1 & ;;
    fat) TZ=UTC fusefat -f -o rw+ "$loop" "$mnt" >/dev/null 2>&1 & ;;
  esac
  daemon=$!
  for (( tries = 0; tries < 200; tries++ )); do
    mountpoint -q "$mnt" && return 0
    sleep 0.05
  done
  echo "reuse.sh: $1 could not be mounted" >&2
  exit 1
}
unmount_drive() {
  if [ -n "$daemon" ]; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    daemon=
  fi
  if [ -n "$loop" ]; then losetup -d "$loop" 2>/dev/null || true; loop=; fi
}
trap unmount_drive EXIT
trap 'exit 130' INT

# Bytes written to and read from the loop device since it was made.
loop_written() { awk '{ printf "%.0f\n", $7 * 512 }' "/sys/block/${loop#/dev/}/stat"; }

# The folder: FILES files of 0.4 to 1.2 MB, times a second apart.
make_folder() {
  local i size
  [ -f "$WORK/folder.files" ] && [ "$(cat "$WORK/folder.files")" = "$FILES" ] && return
  rm -rf "$WORK/folder" && mkdir -p "$WORK/folder"
  for (( i = 1; i <= FILES; i++ )); do
    size=$(( 400000 + (i * 7919 % 800000) ))
    head -c "$size" /dev/urandom >"$WORK/folder/IMG_$i.jpg"
    touch -d "@$(( 1600000000 + i ))" "$WORK/folder/IMG_$i.jpg"
  done
  echo "$FILES" >"$WORK/folder.files"
}

# prepare CASE: the left tree in $WORK/L and the drive's tree, written onto
# a fresh image and mounted afresh, caches dropped.
prepare() {
  rm -rf "$WORK/L" && mkdir -p "$WORK/L"
  local kind=exfat from=$WORK/folder
  [ "$1" = fat-hour ] && kind=fat from=$WORK/fat-folder
  case $1 in fat-renamed|fat-touched) kind=fat ;; esac
  rm -f "$WORK/$kind.img" && truncate -s $(( ($(du -sb "$from" | cut -f1) * 2 >> 20) + 64 ))M "$WORK/$kind.img"
  if [ "$kind" = exfat ]; then mkfs.exfat "$WORK/$kind.img" >/dev/null; else mkfs.vfat -F 32 "$WORK/$kind.img" >/dev/null; fi
  mount_drive "$kind"
  mkdir -p "$mnt/R"
  case ${1#fat-} in
    renamed) cp -r --preserve=timestamps "$from" "$mnt/R/Fotos"
             cp -a "$from" "$WORK/L/Bilder" ;;
    touched) cp -r --preserve=timestamps "$from" "$mnt/R/Fotos"
             cp -a "$from" "$WORK/L/Fotos"
             find "$WORK/L/Fotos" -type f -exec touch -d '+1 hour' -r {} {} \; ;;
    hour) cp -r --preserve=timestamps "$from" "$mnt/R/Fotos"
          cp -a "$from" "$WORK/L/Fotos"
          find "$mnt/R/Fotos" -type f -exec touch -d '-1 hour' -r {} {} \; ;;
  esac
  unmount_drive
  if [ "$kind" = fat ]; then
    # fusefat writes both tables of a fresh FAT once, at the first change
    # after it was made and filled: here, not in the timed run.
    mount_drive "$kind" && touch "$mnt/R" && unmount_drive
  fi
  mount_drive "$kind"
  sync
  echo 3 >/proc/sys/vm/drop_caches
}

# run_case CASE BUILD: one timed run; run_us and run_written are set.
run_case() {
  local answers='j\n' start before status=0
  [ "${1#fat-}" = renamed ] && answers='j\nr\n'
  prepare "$1"
  before=$(loop_written)
  start=$(now_us)
  # shellcheck disable=SC2059
  printf "$answers" | (cd "$WORK" && "${binary[$2]}" L mnt/R >/dev/null 2>"$WORK/err") || status=$?
  run_us=$(( $(now_us) - start ))
  if [ "$status" != 0 ] || [ -s "$WORK/err" ]; then
    echo "reuse.sh: $1 with ${binary[$2]}: status $status" >&2; head -3 "$WORK/err" >&2; exit 1
  fi
  if ! diff -q <(cd "$WORK/L" && find . -type f -printf '%P %s\n' | sort) \
      <(cd "$mnt/R" && find . -type f -printf '%P %s\n' | sort) >/dev/null; then
    echo "reuse.sh: $1 with ${binary[$2]}: the trees differ afterwards" >&2; exit 1
  fi
  # A FUSE driver may keep what it writes until it is unmounted.
  umount "$mnt" && wait "$daemon" 2>/dev/null || true
  daemon=
  run_written=$(( $(loop_written) - before ))
  unmount_drive
}

# The floor of the renamed case: the folder read once from the drive.
floor_us() {
  local start
  prepare renamed
  start=$(now_us)
  cat "$mnt"/R/Fotos/* >/dev/null
  echo $(( $(now_us) - start ))
  unmount_drive
}

make_folder
mkdir -p "$WORK/fat-folder"
for (( i = 1; i <= 20; i++ )); do
  head -c 500000 /dev/urandom >"$WORK/fat-folder/f$i.bin"
  touch -d "@$(( 1580000000 + 2 * i ))" "$WORK/fat-folder/f$i.bin"
done
bytes=$(du -sb --apparent-size "$WORK/folder" | cut -f1)
echo "kalvern reuse benchmark: $FILES files, $bytes bytes, $ROUNDS rounds; kernel $(uname -r)"
for build in "${builds[@]}"; do echo "  $build: ${binary[$build]}"; done
echo
floors=()
for (( round = 0; round < ROUNDS; round++ )); do floors+=("$(floor_us)"); done
floor=$(median "${floors[@]}")
printf '%-10s %-6s %12s %16s %10s\n' case build "time [s]" "bytes written" "of folder"
for case in ${CASES:-renamed touched fat-hour fat-renamed fat-touched}; do
  total=$bytes
  [ "$case" = fat-hour ] && total=$(du -sb --apparent-size "$WORK/fat-folder" | cut -f1)
  for build in "${builds[@]}"; do
    times=() written=()
    for (( round = 0; round < ROUNDS; round++ )); do
      run_case "$case" "$build"
      times+=("$run_us")
      written+=("$run_written")
    done
    t=$(median "${times[@]}")
    w=$(median "${written[@]}")
    printf '%-10s %-6s %12s %16s %9s%%' "$case" "$build" "$(calc '%.2f' "$t / 1e6")" "$w" \
      "$(calc '%.1f' "100 * $w / $total")"
    [ "$case" = renamed ] && printf '   %.2f x the floor' "$(calc '%.4f' "$t / $floor")"
    echo
  done
done
# The worst case of the comparison, on the local disk.
lastblock_us() {
  local i start
  rm -rf "$WORK/LB" && mkdir -p "$WORK/LB/L" "$WORK/LB/R"
  for (( i = 1; i <= 40; i++ )); do
    cp "$WORK/big.bin" "$WORK/LB/L/f$i" && cp "$WORK/big.bin" "$WORK/LB/R/f$i"
    printf 'x%.0s' $(seq 1 4096) | dd of="$WORK/LB/R/f$i" bs=4096 seek=2047 conv=notrunc status=none
    touch -d @1700000000 "$WORK/LB/L/f$i" && touch -d @1600000000 "$WORK/LB/R/f$i"
  done
  sync && echo 3 >/proc/sys/vm/drop_caches
  start=$(now_us)
  "${binary[$1]}" -y "$WORK/LB/L" "$WORK/LB/R" </dev/null >/dev/null
  sync
  echo $(( $(now_us) - start ))
}
if [ -n "$BASE" ]; then
  head -c $(( 8 << 20 )) /dev/urandom >"$WORK/big.bin"
  declare -A lb=()
  for (( round = 0; round < ROUNDS; round++ )); do
    for build in "${builds[@]}"; do lb[$build]+="$(lastblock_us "$build") "; done
  done
  # shellcheck disable=SC2086
  new_lb=$(median ${lb[new]})
  # shellcheck disable=SC2086
  base_lb=$(median ${lb[base]})
  printf '%-10s %-6s %12s\n' lastblock new "$(calc '%.2f' "$new_lb / 1e6")"
  printf '%-10s %-6s %12s   new / base %.2f (target at most 1.30)\n' lastblock base \
    "$(calc '%.2f' "$base_lb / 1e6")" "$(calc '%.4f' "$new_lb / $base_lb")"
  rm -rf "$WORK/LB"
fi
echo
echo "floor of renamed (cat of the folder from the drive, cold caches): $(calc '%.2f' "$floor / 1e6") s"
echo "targets: bytes written at most 1% of the folder; renamed at most 1.2 x the floor"
