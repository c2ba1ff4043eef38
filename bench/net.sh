#!/usr/bin/env bash
# net.sh: measures kalvern against find, a parallel walk and rsync on trees
# reached through netfs, a FUSE file system that delays every request as a
# round trip to a network file server would.
#
# Usage:
#   bash bench/net.sh                       full run, 20,000 files per side
#   N=2000 ROUNDS=1 bash bench/net.sh       quick run
#   DELAYS=1 SKIP_SYNC=1 bash bench/net.sh  the scan at 1 ms only
#   bash bench/net.sh -n 20000 -r 3 -d /tmp/kalvern-net --delays "0.5 2"
#
# Options, each also settable by the environment variable in brackets:
#   -n N          files per side of the scan pair [N, default 20000]
#   -r ROUNDS     timed runs of each tool at each delay [ROUNDS, default 3]
#   -d DIR        where trees, mounts and helpers go [WORK, default
#                 bench/work-net]
#   -s SEED       seed of the generated trees [SEED, default 1]
#   -k BINARY     the kalvern binary [KALVERN; default: a Release build made
#                 in DIR/build]
#   -b BINARY     an earlier kalvern, timed beside the first in every table;
#                 its listing must be byte for byte the same [KALVERN_BEFORE]
#   --delays LIST round-trip delays in milliseconds [DELAYS, default "0.2 1 5"]
#   --skip-sync   leave out the synchronisation benchmark [SKIP_SYNC=1]
# More knobs: FILES_PER_DIR (files in each directory of the deepest level,
# default 28: about 820 directories per side for N=20000), THREADS (threads
# of the parallel walk, default 64), NETFS_THREADS (threads serving requests
# in each netfs, default 64), SYNC_DELAY (delay of the synchronisation in
# milliseconds, default 1), SYNC_ROUNDS (default ROUNDS), SYNC_UPDATES (files
# newer on one side, 4 KiB each, default 1000), SYNC_ONLY (files on one side
# only, per side, default 150), RENAMED (files of 16 KiB in the renamed
# folder, default 1000; 0 leaves it out), RENAMED_DELAY (its delay in
# milliseconds, default 5), MIRROR_DELAYS (delays of the mirror case in
# milliseconds, default "1 5"; "" leaves it out), MIRROR_UPDATES (its
# updates, default 1000), MIRROR_ONLY (its one-sided files per side,
# default 300), SYNC_BOTH (0 leaves out the case answering "b").
#
# What it measures, with each tree mounted through its own netfs (built from
# bench/netfs.c: entries and attributes cached for 1 s, attributes with every
# listing, 64 requests served at once, as NFS and SMB behave by default):
#   scan  at every delay, interleaved: kalvern declining the synchronisation
#         ("n" on standard input), find L R -printf '%T@ %P\n' (one walk, one
#         request at a time) and pwalk (bench/pwalk.c: THREADS threads
#         listing directories and lstat'ing every entry, many directories in
#         flight: the best parallel walk); wall-time medians, their ratios,
#         and the requests netfs served per scanned file
#   sync  at SYNC_DELAY: kalvern -y answering "b" against rsync -rtu L/ R/ &&
#         rsync -rtu R/ L/, each on a fresh copy of a pair with SYNC_UPDATES
#         newer files and 2 x SYNC_ONLY one-sided files, made on the disk
#         before mounting (copying not timed); wall-time medians and requests
#         per copied file
#   mirror at every MIRROR_DELAYS: R made like L, kalvern -y answering "r"
#         against rsync -rt --delete L/ R/ (and the earlier kalvern with -b):
#         MIRROR_UPDATES files of 4 KiB newer in L in 100 directories,
#         MIRROR_ONLY files only in L in 30 directories of two levels that R
#         lacks, MIRROR_ONLY files only in R in 30 such directories that
#         the deletions empty; wall-time medians, their ratio and requests
#         per copied file
#   renamed at RENAMED_DELAY, with -b only: a folder of RENAMED files that R
#         holds as Fotos/ and L as Bilder/, kalvern -y answering "r" against
#         the earlier kalvern: wall-time medians and their ratio
# Cold caches: every timed run gets freshly mounted netfs instances (mounted
# before the clock starts, unmounted after it stops), so the kernel holds no
# names or attributes of the trees and every run pays its round trips. The
# trees below stay in the page cache, as on a file server with warm caches.
#
# Runs as root: it mounts, and installs with apt-get what is missing
# (libfuse3-dev, fuse3, pkg-config, rsync). Mounts are removed on exit, also
# after an error or an interrupt. DIR (bench/work-net is kept out of git)
# keeps the scan pair for later runs with the same parameters.

set -euo pipefail
export LC_ALL=C

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")

N=${N:-20000}
ROUNDS=${ROUNDS:-3}
WORK=${WORK:-$bench_dir/work-net}
SEED=${SEED:-1}
KALVERN=${KALVERN:-}
KALVERN_BEFORE=${KALVERN_BEFORE:-}
DELAYS=${DELAYS:-0.2 1 5}
SKIP_SYNC=${SKIP_SYNC:-0}

usage() {
  sed -n '2,/^$/{s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"
  exit "${1:-0}"
}

while [ $# -gt 0 ]; do
  case $1 in
    -n) N=$2; shift 2 ;;
    -r) ROUNDS=$2; shift 2 ;;
    -d) WORK=$2; shift 2 ;;
    -s) SEED=$2; shift 2 ;;
    -k) KALVERN=$2; shift 2 ;;
    -b) KALVERN_BEFORE=$2; shift 2 ;;
    --delays) DELAYS=$2; shift 2 ;;
    --skip-sync) SKIP_SYNC=1; shift ;;
    -h|--help) usage 0 ;;
    *) echo "net.sh: unknown argument $1" >&2; usage 1 >&2 ;;
  esac
done

FILES_PER_DIR=${FILES_PER_DIR:-28}
THREADS=${THREADS:-64}
NETFS_THREADS=${NETFS_THREADS:-64}
SYNC_DELAY=${SYNC_DELAY:-1}
SYNC_ROUNDS=${SYNC_ROUNDS:-$ROUNDS}
SYNC_UPDATES=${SYNC_UPDATES:-1000}
SYNC_ONLY=${SYNC_ONLY:-150}
RENAMED=${RENAMED:-1000}
RENAMED_DELAY=${RENAMED_DELAY:-5}
MIRROR_DELAYS=${MIRROR_DELAYS-1 5}
SYNC_BOTH=${SYNC_BOTH:-1}
MIRROR_UPDATES=${MIRROR_UPDATES:-1000}
MIRROR_ONLY=${MIRROR_ONLY:-300}

for value in "$N" "$ROUNDS" "$SEED" "$FILES_PER_DIR" "$THREADS" \
             "$NETFS_THREADS" "$SYNC_ROUNDS" "$SYNC_UPDATES" "$SYNC_ONLY" \
             "$MIRROR_UPDATES" "$MIRROR_ONLY"; do
  case $value in
    ''|*[!0-9]*|0) echo "net.sh: expected a positive whole number, got '$value'" >&2
                   exit 1 ;;
  esac
done
for value in $DELAYS $SYNC_DELAY $MIRROR_DELAYS; do
  if ! [[ $value =~ ^[0-9]+(\.[0-9]+)?$ ]]; then
    echo "net.sh: expected a delay in milliseconds, got '$value'" >&2
    exit 1
  fi
done
read -r -a delays <<<"$DELAYS"
if [ ${#delays[@]} -eq 0 ]; then
  echo "net.sh: DELAYS names no delay" >&2
  exit 1
fi

# ---------------------------------------------------------------- tools

if [ "$(id -u)" != 0 ]; then
  echo "net.sh: run it as root (it mounts file systems and installs packages)" >&2
  exit 1
fi
packages=()
pkg-config --exists fuse3 2>/dev/null || packages+=(libfuse3-dev pkg-config)
command -v fusermount3 >/dev/null 2>&1 || packages+=(fuse3)
command -v rsync >/dev/null 2>&1 || packages+=(rsync)
command -v cc >/dev/null 2>&1 || packages+=(gcc libc6-dev)
if [ ${#packages[@]} -gt 0 ]; then
  echo "Installing ${packages[*]} ..."
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${packages[@]}" >/dev/null
fi
if [ ! -c /dev/fuse ]; then
  modprobe fuse 2>/dev/null || true
  if [ ! -c /dev/fuse ]; then
    echo "net.sh: no /dev/fuse: this machine cannot mount FUSE file systems" >&2
    exit 1
  fi
fi

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
tmp=$WORK/tmp
mnt=$WORK/mnt
if grep -qF " $mnt/" /proc/self/mountinfo; then
  echo "net.sh: $mnt still has mounts (another run?); unmount them first" >&2
  exit 1
fi
rm -rf "$tmp"
mkdir -p "$tmp" "$WORK/bin"

NETFS=$WORK/bin/netfs
PWALK=$WORK/bin/pwalk
# shellcheck disable=SC2046 # pkg-config's flags are separate words
cc -O2 -Wall "$bench_dir/netfs.c" $(pkg-config --cflags --libs fuse3) -o "$NETFS"
cc -O2 -Wall -pthread "$bench_dir/pwalk.c" -o "$PWALK"

if [ -z "$KALVERN" ]; then
  echo "Building kalvern (Release) in $WORK/build ..."
  cmake -S "$repo_dir" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$WORK/build" -j"$(nproc)" --target kalvern >/dev/null
  KALVERN=$WORK/build/kalvern
fi
if [ ! -x "$KALVERN" ]; then
  echo "net.sh: no kalvern binary at $KALVERN" >&2
  exit 1
fi
KALVERN=$(cd "$(dirname "$KALVERN")" && pwd)/$(basename "$KALVERN")

# ------------------------------------------------------------- mounts

# Mount point -> process id of the netfs serving it.
declare -A netfs_pids=()

# True if directory $1 is a mount point, found without a request to it.
is_mounted() {
  awk -v m="$1" 'BEGIN { gsub(/\\/, "\\134", m); gsub(/ /, "\\040", m)
                         gsub(/\t/, "\\011", m) }
                 $5 == m { found = 1 } END { exit !found }' /proc/self/mountinfo
}

# mount_netfs SOURCE MOUNTPOINT DELAY_US COUNT_FILE: mounts SOURCE through a
# netfs that delays every request DELAY_US and counts them into COUNT_FILE.
mount_netfs() {
  local source=$1 point=$2 delay_us=$3 counts=$4 tries
  mkdir -p "$point"
  "$NETFS" "$source" "$point" -f \
    -o "delay_us=$delay_us,count_file=$counts,max_threads=$NETFS_THREADS" \
    2>>"$tmp/netfs.log" &
  netfs_pids[$point]=$!
  for (( tries = 0; tries < 200; tries++ )); do
    is_mounted "$point" && return 0
    kill -0 "${netfs_pids[$point]}" 2>/dev/null || break
    sleep 0.05
  done
  echo "net.sh: netfs could not mount $source on $point:" >&2
  tail -5 "$tmp/netfs.log" >&2
  exit 1
}

# Unmounts MOUNTPOINT and waits for its netfs, which writes its counts last.
unmount_netfs() {
  local point=$1 pid=${netfs_pids[$1]} status=0
  fusermount3 -u "$point" 2>>"$tmp/netfs.log" || fusermount3 -u -z "$point"
  wait "$pid" || status=$?
  unset 'netfs_pids[$point]'
  if [ "$status" -ne 0 ]; then
    echo "net.sh: netfs on $point ended with status $status" >&2
    exit 1
  fi
}

# Mounts sides L and R of pair directory $1 at $mnt/L and $mnt/R with a
# delay of $2 microseconds.
mount_pair() {
  local side
  for side in L R; do
    mount_netfs "$1/$side" "$mnt/$side" "$2" "$tmp/counts.$side"
  done
}

# Unmounts both sides; pair_requests gets the requests both netfs served.
unmount_pair() {
  unmount_netfs "$mnt/L"
  unmount_netfs "$mnt/R"
  pair_requests=$(awk '$1 == "total" { n += $2 } END { print n + 0 }' \
    "$tmp/counts.L" "$tmp/counts.R")
}

# Requests of each kind that both sides served last, most frequent first.
request_kinds() {
  awk '$1 != "total" { n[$1] += $2 } END { for (k in n) print n[k], k }' \
    "$tmp/counts.L" "$tmp/counts.R" |
    sort -rn | awk '{ printf "%s%s %s", sep, $2, $1; sep = ", " }'
}

# Whatever happens, no mount is left behind.
cleanup() {
  local point
  for point in "${!netfs_pids[@]}"; do
    fusermount3 -u -z "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
    kill "${netfs_pids[$point]}" 2>/dev/null || true
    wait "${netfs_pids[$point]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# -------------------------------------------------------------- helpers

# shellcheck source=bench/common.sh
. "$bench_dir/common.sh"




# A delay in milliseconds as whole microseconds.
delay_us() {
  calc '%d' "$1 * 1000 + 0.5"
}





# The scanning commands, on the mounted pair. kalvern's standard error is
# kept: on a network file system its warnings matter.
scan_kalvern() {
  "$KALVERN" "$mnt/L" "$mnt/R" <<<n >/dev/null 2>>"$tmp/kalvern-scan.err"
}
scan_before() {
  "$KALVERN_BEFORE" "$mnt/L" "$mnt/R" <<<n >/dev/null 2>>"$tmp/kalvern-scan.err"
}
scan_find() { find "$mnt/L" "$mnt/R" -printf '%T@ %P\n' >/dev/null; }
scan_pwalk() { "$PWALK" -t "$THREADS" "$mnt/L" "$mnt/R" >/dev/null; }

# time_scan TOOL PAIR DELAY_US: mounts the pair fresh, runs the scan and
# unmounts; run_us gets its wall time, run_requests the requests served.
time_scan() {
  local tool=$1 start end status=0
  mount_pair "$2" "$3"
  start=$(now_us)
  "scan_$tool" || status=$?
  end=$(now_us)
  unmount_pair
  if [ "$status" -ne 0 ]; then
    echo "net.sh: $tool ended with status $status" >&2
    exit 1
  fi
  run_us=$(( end - start ))
  run_requests=$pair_requests
}

# One line of a table: a label column, then right-aligned values.
row() {
  printf '%-12s' "$1"
  shift
  printf ' %14s' "$@"
  printf '\n'
}

# ------------------------------------------------------------- the run

echo "kalvern network benchmark: $KALVERN ($("$KALVERN" --version))"
echo "N=$N files per side, seed $SEED, $ROUNDS rounds, delays ${delays[*]} ms," \
  "work directory $WORK"
echo "netfs: libfuse $(pkg-config --modversion fuse3), $NETFS_THREADS threads;" \
  "parallel walk: $THREADS threads; kernel $(uname -r)"
echo

echo "Generating the scan pair ..."
gen_start=$(now_us)
scan_pair=$WORK/scan-$N
make_pair "$scan_pair" mode=scan "n=$N" pdiff=0.03 ponly=0.02 \
  "per_dir=$FILES_PER_DIR"
pair_stats "$scan_pair"
scan_files=$pair_files
scan_entries=$(( pair_files + 2 * pair_dirs ))
echo "  done in $(calc '%.1f' "($(now_us) - $gen_start) / 1e6") s;" \
  "$pair_left files left, $pair_right right, $pair_dirs directories per side;" \
  "$pair_diff differing, $pair_only_left only left, $pair_only_right only right"

# The tools must really scan the mounted trees, or their times mean nothing:
# kalvern declines, the walk finds every entry.
first_us=$(delay_us "${delays[0]}")
mount_pair "$scan_pair" "$first_us"
"$KALVERN" "$mnt/L" "$mnt/R" <<<n >"$tmp/out.txt" 2>"$tmp/err.txt" || {
  echo "net.sh: kalvern failed on the mounted scan pair:" >&2
  head -5 "$tmp/err.txt" >&2
  exit 1
}
if ! grep -q "Abgleich wurde auf Wunsch beendet" "$tmp/out.txt"; then
  echo "net.sh: kalvern did not decline as expected; its last lines:" >&2
  tail -5 "$tmp/out.txt" >&2
  exit 1
fi
walked=$("$PWALK" -t "$THREADS" "$mnt/L" "$mnt/R")
if [ -n "$KALVERN_BEFORE" ]; then
  "$KALVERN_BEFORE" "$mnt/L" "$mnt/R" <<<n >"$tmp/before.txt" 2>&1 || true
  if cmp -s "$tmp/out.txt" "$tmp/before.txt"; then
    echo "The listing is byte for byte that of $KALVERN_BEFORE."
  else
    echo "WARNING: the listing differs from that of $KALVERN_BEFORE"
  fi
fi
unmount_pair
if [ "$walked" != "$scan_entries" ]; then
  echo "net.sh: the parallel walk found $walked entries, expected $scan_entries" >&2
  exit 1
fi
if [ -s "$tmp/err.txt" ]; then
  echo "kalvern wrote to standard error on the mounted pair:"
  head -5 "$tmp/err.txt" | sed 's/^/  /'
fi

# For every delay, the tools interleaved, their order rotating per round.
tools=(kalvern find pwalk)
[ -z "$KALVERN_BEFORE" ] || tools+=(before)
declare -A wall=() requests=()
for delay in "${delays[@]}"; do
  us=$(delay_us "$delay")
  declare -A times=() counts=()
  for (( round = 0; round < ROUNDS; round++ )); do
    for (( k = 0; k < ${#tools[@]}; k++ )); do
      tool=${tools[(round + k) % ${#tools[@]}]}
      time_scan "$tool" "$scan_pair" "$us"
      times[$tool]+="$run_us "
      counts[$tool]+="$run_requests "
    done
  done
  for tool in "${tools[@]}"; do
    # shellcheck disable=SC2086
    wall[$delay,$tool]=$(median_s ${times[$tool]})
    # shellcheck disable=SC2086
    requests[$delay,$tool]=$(calc '%.2f' "$(median ${counts[$tool]}) / $scan_files")
  done
  echo "  ${delay} ms: kalvern ${wall[$delay,kalvern]} s, find ${wall[$delay,find]} s," \
    "parallel walk ${wall[$delay,pwalk]} s${KALVERN_BEFORE:+, before ${wall[$delay,before]} s}"
  unset times counts
done

echo
echo "Scan through netfs, fresh mounts, medians of $ROUNDS interleaved rounds" \
  "($scan_files files, $(( 2 * pair_dirs )) directories)"
row "delay [ms]" "kalvern [s]" "find [s]" "par. walk [s]" "kalvern/find" \
  "kalvern/best"
for delay in "${delays[@]}"; do
  row "$delay" "${wall[$delay,kalvern]}" "${wall[$delay,find]}" \
    "${wall[$delay,pwalk]}" \
    "$(calc '%.2f' "${wall[$delay,kalvern]} / ${wall[$delay,find]}")" \
    "$(calc '%.2f' "${wall[$delay,kalvern]} / ${wall[$delay,pwalk]}")"
done
if [ -n "$KALVERN_BEFORE" ]; then
  echo "The earlier kalvern in the same rounds:"
  row "delay [ms]" "before [s]" "before/find" "kalvern/before"
  for delay in "${delays[@]}"; do
    row "$delay" "${wall[$delay,before]}" \
      "$(calc '%.2f' "${wall[$delay,before]} / ${wall[$delay,find]}")" \
      "$(calc '%.2f' "${wall[$delay,kalvern]} / ${wall[$delay,before]}")"
  done
fi
echo
echo "Requests served per scanned file (medians)"
row "delay [ms]" "kalvern" "find" "par. walk"
for delay in "${delays[@]}"; do
  row "$delay" "${requests[$delay,kalvern]}" "${requests[$delay,find]}" \
    "${requests[$delay,pwalk]}"
done
if [ -s "$tmp/kalvern-scan.err" ]; then
  echo "  kalvern wrote to standard error during the timed scans" \
    "($(wc -l <"$tmp/kalvern-scan.err") lines), first lines:"
  head -3 "$tmp/kalvern-scan.err" | sed 's/^/    /'
fi

# ------------------------------------------------------- synchronisation

echo
if [ "$SKIP_SYNC" = 1 ]; then
  echo "Synchronisation: skipped (SKIP_SYNC=1 or --skip-sync)."
  rm -rf "$tmp"
  exit 0
fi

run_copy=$WORK/sync-run
if [ "$SYNC_BOTH" = 1 ]; then
  echo "Generating the synchronisation pair ..."
  sync_pair=$WORK/sync-$SYNC_UPDATES-$SYNC_ONLY
  make_pair "$sync_pair" mode=sync "nsmall=$SYNC_UPDATES" nbig=0 \
    "nonly=$SYNC_ONLY" "per_dir=$FILES_PER_DIR"
  pair_stats "$sync_pair"
  copied=$(( pair_diff + pair_only_left + pair_only_right ))
  echo "  $pair_diff newer on one side, $pair_only_left only left," \
    "$pair_only_right only right: $copied files to copy"

  sync_kalvern() {
    "$KALVERN" -y "$mnt/L" "$mnt/R" <<<b >/dev/null 2>>"$tmp/kalvern-sync.err"
  }
  sync_before() {
    "$KALVERN_BEFORE" -y "$mnt/L" "$mnt/R" <<<b >/dev/null 2>>"$tmp/kalvern-sync.err"
  }
  sync_rsync() { rsync -rtu "$mnt/L/" "$mnt/R/" && rsync -rtu "$mnt/R/" "$mnt/L/"; }

  # A fresh copy of the pair on the disk, written back before the clock starts.
  fresh_copy() {
    rm -rf "$run_copy"
    mkdir -p "$run_copy"
    cp -a "$sync_pair/L" "$sync_pair/R" "$run_copy/"
    sync
  }

  sync_us=$(delay_us "$SYNC_DELAY")
  sync_tools=(kalvern rsync)
  [ -z "$KALVERN_BEFORE" ] || sync_tools+=(before)
  declare -A sync_times=() sync_counts=() sync_kinds=()
  sync_failed=""
  for (( round = 0; round < SYNC_ROUNDS; round++ )); do
    for (( k = 0; k < ${#sync_tools[@]}; k++ )); do
      tool=${sync_tools[(round + k) % ${#sync_tools[@]}]}
      fresh_copy
      mount_pair "$run_copy" "$sync_us"
      status=0
      start=$(now_us)
      "sync_$tool" || status=$?
      end=$(now_us)
      unmount_pair
      sync_times[$tool]+="$(( end - start )) "
      sync_counts[$tool]+="$pair_requests "
      sync_kinds[$tool]=$(request_kinds)
      if [ "$status" -ne 0 ] || ! trees_agree "$run_copy"; then
        sync_failed+=" $tool(status $status)"
      fi
    done
  done
  rm -rf "$run_copy"

  declare -A sync_wall=() per_copy=()
  for tool in "${sync_tools[@]}"; do
    # shellcheck disable=SC2086
    sync_wall[$tool]=$(median_s ${sync_times[$tool]})
    # shellcheck disable=SC2086
    per_copy[$tool]=$(calc '%.1f' "$(median ${sync_counts[$tool]}) / $copied")
  done

  echo
  echo "Synchronisation through netfs at $SYNC_DELAY ms, fresh copies, medians of" \
    "$SYNC_ROUNDS rounds (answer b; rsync -rtu both ways; $copied files copied)"
  row "delay [ms]" "kalvern [s]" "rsync [s]" "kalvern/rsync" "kalvern req/f" \
    "rsync req/f"
  row "$SYNC_DELAY" "${sync_wall[kalvern]}" "${sync_wall[rsync]}" \
    "$(calc '%.2f' "${sync_wall[kalvern]} / ${sync_wall[rsync]}")" \
    "${per_copy[kalvern]}" "${per_copy[rsync]}"
  if [ -n "$KALVERN_BEFORE" ]; then
    row "before" "${sync_wall[before]}" "${sync_wall[rsync]}" \
      "$(calc '%.2f' "${sync_wall[before]} / ${sync_wall[rsync]}")" \
      "${per_copy[before]}" "${per_copy[rsync]}"
  fi
  echo "  (req/f: requests served by both netfs per copied file)"
  for tool in "${sync_tools[@]}"; do
    # shellcheck disable=SC2086
    echo "  $tool, single runs [s]: $(printf '%s\n' ${sync_times[$tool]} |
      awk '{ printf "%s%.3f", sep, $1 / 1e6; sep = " " }')"
    echo "  $tool, requests of its last run: ${sync_kinds[$tool]}"
  done
  if [ -s "$tmp/kalvern-sync.err" ]; then
    echo "  kalvern wrote to standard error during the synchronisations" \
      "($(wc -l <"$tmp/kalvern-sync.err") lines), first lines:"
    head -3 "$tmp/kalvern-sync.err" | sed 's/^/    /'
  fi
  if [ -n "$sync_failed" ]; then
    echo "  WARNING: trees not equal afterwards (or non-zero status):$sync_failed"
  fi
fi

# --------------------------------------------------------------- mirror

# make_mirror_pair DIR: L and R with MIRROR_UPDATES files newer in L (other
# bytes, the same size), MIRROR_ONLY files only in L and as many only in R,
# each side's one-sided files in 30 directories of two levels of their own.
make_mirror_pair() {
  local dir=$1 side i blob
  [ ! -f "$dir/.done" ] || return 0
  rm -rf "$dir"
  for side in L R; do
    mkdir -p "$dir/$side"
    blob=$dir/blob.$side
    head -c 4096 /dev/urandom >"$blob"
    for (( i = 0; i < MIRROR_UPDATES; i++ )); do
      echo "Projekt_$(( i / 100 ))/Teil_$(( i / 10 % 10 ))/Bericht_$i.pdf"
    done >"$dir/common.$side"
    if [ "$side" = L ]; then
      for (( i = 0; i < MIRROR_ONLY; i++ )); do
        echo "Neu_$(( i * 3 / MIRROR_ONLY ))/Ordner_$(( i % 10 ))/Foto_$i.jpg"
      done >"$dir/only.$side"
    else
      for (( i = 0; i < MIRROR_ONLY; i++ )); do
        echo "Alt_$(( i * 3 / MIRROR_ONLY ))/Ordner_$(( i % 10 ))/Scan_$i.png"
      done >"$dir/only.$side"
    fi
    (cd "$dir/$side" && sed 's,/[^/]*$,,' ../common.$side ../only.$side |
      sort -u | xargs -d '\n' mkdir -p --)
    # shellcheck disable=SC2016 # expanded by the inner sh
    (cd "$dir/$side" && cat ../common.$side ../only.$side |
      xargs -d '\n' -n 500 sh -c 'exec tee -- "$@" <"$0" >/dev/null' "$blob")
  done
  (cd "$dir/L" && xargs -d '\n' -a ../common.L touch -d @1700000060 --)
  (cd "$dir/R" && xargs -d '\n' -a ../common.R touch -d @1700000000 --)
  (cd "$dir/L" && xargs -d '\n' -a ../only.L touch -d @1600000000 --)
  (cd "$dir/R" && xargs -d '\n' -a ../only.R touch -d @1650000000 --)
  touch "$dir/.done"
}

if [ -n "$MIRROR_DELAYS" ]; then
  mirror_pair=$WORK/mirror-$MIRROR_UPDATES-$MIRROR_ONLY
  make_mirror_pair "$mirror_pair"
  mirror_copied=$(( MIRROR_UPDATES + MIRROR_ONLY ))
  mirror_kalvern() { "$KALVERN" -y "$mnt/L" "$mnt/R" <<<r >/dev/null 2>>"$tmp/kalvern-sync.err"; }
  mirror_before() { "$KALVERN_BEFORE" -y "$mnt/L" "$mnt/R" <<<r >/dev/null 2>>"$tmp/kalvern-sync.err"; }
  mirror_rsync() { rsync -rt --delete "$mnt/L/" "$mnt/R/"; }
  mirror_tools=(kalvern rsync)
  [ -z "$KALVERN_BEFORE" ] || mirror_tools+=(before)
  declare -A mirror_wall=() mirror_per_copy=() mirror_kinds=()
  for delay in $MIRROR_DELAYS; do
    declare -A times=() counts=()
    for (( round = 0; round < SYNC_ROUNDS; round++ )); do
      for (( k = 0; k < ${#mirror_tools[@]}; k++ )); do
        tool=${mirror_tools[(round + k) % ${#mirror_tools[@]}]}
        rm -rf "$run_copy" && mkdir -p "$run_copy"
        cp -a "$mirror_pair/L" "$mirror_pair/R" "$run_copy/"
        sync
        mount_pair "$run_copy" "$(delay_us "$delay")"
        status=0
        start=$(now_us)
        "mirror_$tool" || status=$?
        end=$(now_us)
        unmount_pair
        times[$tool]+="$(( end - start )) "
        counts[$tool]+="$pair_requests "
        mirror_kinds[$delay,$tool]=$(request_kinds)
        if [ "$status" -ne 0 ] || ! trees_agree "$run_copy" ||
           [ -n "$(find "$run_copy/R" -type d -empty)" ]; then
          echo "  WARNING: mirror: $tool (status $status) left other trees"
        fi
      done
    done
    for tool in "${mirror_tools[@]}"; do
      # shellcheck disable=SC2086
      mirror_wall[$delay,$tool]=$(median_s ${times[$tool]})
      # shellcheck disable=SC2086
      mirror_per_copy[$delay,$tool]=$(calc '%.1f' "$(median ${counts[$tool]}) / $mirror_copied")
    done
    unset times counts
  done
  rm -rf "$run_copy"
  echo
  echo "Mirror through netfs, fresh copies, medians of $SYNC_ROUNDS rounds" \
    "(answer r; rsync -rt --delete; $MIRROR_UPDATES updates, $MIRROR_ONLY" \
    "copies into new directories, $MIRROR_ONLY deletions that prune)"
  row "delay [ms]" "kalvern [s]" "rsync [s]" "kalvern/rsync" "kalvern req/f" \
    "rsync req/f"
  for delay in $MIRROR_DELAYS; do
    row "$delay" "${mirror_wall[$delay,kalvern]}" "${mirror_wall[$delay,rsync]}" \
      "$(calc '%.3f' "${mirror_wall[$delay,kalvern]} / ${mirror_wall[$delay,rsync]}")" \
      "${mirror_per_copy[$delay,kalvern]}" "${mirror_per_copy[$delay,rsync]}"
    if [ -n "$KALVERN_BEFORE" ]; then
      row "  before" "${mirror_wall[$delay,before]}" "${mirror_wall[$delay,rsync]}" \
        "$(calc '%.3f' "${mirror_wall[$delay,before]} / ${mirror_wall[$delay,rsync]}")" \
        "${mirror_per_copy[$delay,before]}" "${mirror_per_copy[$delay,rsync]}"
    fi
  done
  for key in "${!mirror_kinds[@]}"; do
    echo "  $key, requests of its last run: ${mirror_kinds[$key]}"
  done | sort
fi

# ------------------------------------------------------- renamed folder

if [ -n "$KALVERN_BEFORE" ] && [ "$RENAMED" -gt 0 ]; then
  renamed_pair=$WORK/renamed-$RENAMED
  if [ ! -d "$renamed_pair/R/Fotos" ]; then
    rm -rf "$renamed_pair"
    mkdir -p "$renamed_pair/L" "$renamed_pair/R/Fotos"
    for (( i = 1; i <= RENAMED; i++ )); do
      head -c 16384 /dev/urandom >"$renamed_pair/R/Fotos/IMG_$i.jpg"
      touch -d "@$(( 1600000000 + i ))" "$renamed_pair/R/Fotos/IMG_$i.jpg"
    done
    cp -a "$renamed_pair/R/Fotos" "$renamed_pair/L/Bilder"
  fi
  renamed_kalvern() { "$KALVERN" -y "$mnt/L" "$mnt/R" <<<r >/dev/null 2>>"$tmp/kalvern-sync.err"; }
  renamed_before() { "$KALVERN_BEFORE" -y "$mnt/L" "$mnt/R" <<<r >/dev/null 2>>"$tmp/kalvern-sync.err"; }
  declare -A renamed_times=()
  for (( round = 0; round < SYNC_ROUNDS; round++ )); do
    for tool in kalvern before; do
      rm -rf "$run_copy" && mkdir -p "$run_copy"
      cp -a "$renamed_pair/L" "$renamed_pair/R" "$run_copy/"
      sync
      mount_pair "$run_copy" "$(delay_us "$RENAMED_DELAY")"
      start=$(now_us)
      "renamed_$tool" || echo "  WARNING: renamed folder: $tool ended with status $?"
      end=$(now_us)
      unmount_pair
      renamed_times[$tool]+="$(( end - start )) "
      [ -d "$run_copy/R/Bilder" ] && [ ! -e "$run_copy/R/Fotos" ] ||
        echo "  WARNING: renamed folder: $tool left other trees"
    done
  done
  rm -rf "$run_copy"
  # shellcheck disable=SC2086
  new_s=$(median_s ${renamed_times[kalvern]})
  # shellcheck disable=SC2086
  old_s=$(median_s ${renamed_times[before]})
  echo
  echo "A renamed folder of $RENAMED files through netfs at $RENAMED_DELAY ms" \
    "(answer r), medians of $SYNC_ROUNDS rounds"
  row "" "kalvern [s]" "before [s]" "kalvern/before"
  row "$RENAMED_DELAY" "$new_s" "$old_s" "$(calc '%.2f' "$new_s / $old_s")"
fi
rm -rf "$tmp"
