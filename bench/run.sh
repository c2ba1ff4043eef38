#!/usr/bin/env bash
# run.sh: measures kalvern against find and rsync on generated tree pairs.
#
# Usage:
#   bash bench/run.sh                  full run, 200,000 files per side
#   N=20000 bash bench/run.sh          quick run
#   SKIP_SYNC=1 bash bench/run.sh      scan figures only
#   COLD=0 bash bench/run.sh           leave out the cold-cache scan
#   bash bench/run.sh -n 20000 -r 3 -d /tmp/kalvern-bench --skip-sync
#
# Options, each also settable by the environment variable in brackets:
#   -n N         files per side of the scan pair [N, default 200000]
#   -r ROUNDS    timed repetitions of each tool in the scan [ROUNDS, default 5]
#   -d DIR       where the trees are generated [WORK, default bench/work]
#   -s SEED      seed of the generated trees [SEED, default 1]
#   -k BINARY    the kalvern binary [KALVERN; default: a Release build made
#                in DIR/build]
#   -b BINARY    an earlier kalvern, timed beside the first in the
#                synchronisation; its trees afterwards must agree too
#                [KALVERN_BEFORE]
#   --skip-sync  leave out the synchronisation benchmark [SKIP_SYNC=1]
# More knobs: SMALL_N (small pair for the memory figure, default 1000),
# FILES_PER_DIR (files in each directory of the deepest level, default 20),
# WRITE_N (files per side of the 10 % pair for the write count, default N),
# COLD (1: also time the scan on cold caches, as root; default 1),
# SYNC_ROUNDS (default 5), SYNC_SMALL (default 20000), SYNC_LARGE (default
# 200), SYNC_LARGE_MIB (size of a large file, default 8), SYNC_ONLY
# (one-sided files per side, default 200), KEEP_SYNC=1 keeps the
# synchronisation pair (about 3.5 GB) after the run.
#
# What it measures, on warm caches:
#   scan    kalvern declining the synchronisation ("n" on standard input),
#           find L R -printf '%T@ %P\n' (the walk with one stat per entry)
#           and rsync -rtun --delete --itemize-changes L/ R/, interleaved;
#           wall-time medians, CPU-time medians (user + system, all threads)
#           of kalvern and find, system calls per scanned file (strace -f -c)
#           and peak memory per scanned file (/usr/bin/time -v: growth of the
#           peak RSS from the small pair to the N pair per added file)
#   cold    kalvern and find as above, interleaved, with the page cache,
#           dentries and inodes dropped before every run (sync; echo 3 >
#           /proc/sys/vm/drop_caches), as after a reboot
#   writes  write and writev calls of kalvern per 4 KiB of its standard
#           output, on a pair where about 10 % of the files differ
#   sync    kalvern -y answering "b" against rsync -rtu L/ R/ && rsync -rtu
#           R/ L/: alone, followed by sync, and both with --fsync; and against
#           cp -a of the files to copy (the newer or only version of each, to
#           the other side) followed by sync; each on a fresh copy of the same
#           pair (copying not timed), as root with the caches dropped before
#           every run unless COLD=0; every tool must leave the same trees
# The trees live in DIR (bench/work is kept out of git); the scan pairs are
# reused by later runs with the same parameters, the synchronisation pair
# is removed at the end.

set -euo pipefail
export LC_ALL=C

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")

N=${N:-200000}
ROUNDS=${ROUNDS:-5}
WORK=${WORK:-$bench_dir/work}
SEED=${SEED:-1}
KALVERN=${KALVERN:-}
KALVERN_BEFORE=${KALVERN_BEFORE:-}
SKIP_SYNC=${SKIP_SYNC:-0}
COLD=${COLD:-1}

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
    --skip-sync) SKIP_SYNC=1; shift ;;
    -h|--help) usage 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; usage 1 >&2 ;;
  esac
done

SMALL_N=${SMALL_N:-1000}
FILES_PER_DIR=${FILES_PER_DIR:-20}
WRITE_N=${WRITE_N:-$N}
SYNC_ROUNDS=${SYNC_ROUNDS:-5}
SYNC_SMALL=${SYNC_SMALL:-20000}
SYNC_LARGE=${SYNC_LARGE:-200}
SYNC_LARGE_MIB=${SYNC_LARGE_MIB:-8}
SYNC_ONLY=${SYNC_ONLY:-200}
KEEP_SYNC=${KEEP_SYNC:-0}

for value in "$N" "$ROUNDS" "$SEED" "$SMALL_N" "$WRITE_N" "$SYNC_ROUNDS" \
             "$SYNC_SMALL" "$SYNC_LARGE" "$SYNC_LARGE_MIB" "$SYNC_ONLY" \
             "$FILES_PER_DIR"; do
  case $value in
    ''|*[!0-9]*|0) echo "run.sh: expected a positive whole number, got '$value'" >&2
                   exit 1 ;;
  esac
done

# ---------------------------------------------------------------- tools

missing=()
for tool in strace rsync find awk xargs touch tee; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -x /usr/bin/time ] || missing+=("/usr/bin/time")
if [ ${#missing[@]} -gt 0 ]; then
  echo "run.sh: missing tools: ${missing[*]}" >&2
  echo "Install them with:  apt-get update && apt-get install strace rsync time" >&2
  exit 1
fi
if ! find /dev/null -maxdepth 0 -printf '' 2>/dev/null; then
  echo "run.sh: needs GNU find (apt-get install findutils)" >&2
  exit 1
fi

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
tmp=$WORK/tmp
rm -rf "$tmp"
mkdir -p "$tmp"

if [ -z "$KALVERN" ]; then
  echo "Building kalvern (Release) in $WORK/build ..."
  cmake -S "$repo_dir" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$WORK/build" -j"$(nproc)" >/dev/null
  KALVERN=$WORK/build/kalvern
fi
if [ ! -x "$KALVERN" ]; then
  echo "run.sh: no kalvern binary at $KALVERN" >&2
  exit 1
fi
KALVERN=$(cd "$(dirname "$KALVERN")" && pwd)/$(basename "$KALVERN")
if [ -n "$KALVERN_BEFORE" ] && [ ! -x "$KALVERN_BEFORE" ]; then
  echo "run.sh: no kalvern binary at $KALVERN_BEFORE" >&2
  exit 1
fi

# -------------------------------------------------------------- helpers

# shellcheck source=bench/common.sh
. "$bench_dir/common.sh"




# "ok" or "MISSED" for: value <= limit.
verdict() {
  awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "ok" : "MISSED") }'
}

# Total system calls counted by strace -c in file $1.
strace_total() {
  awk '$NF == "total" { print $4 }' "$1"
}

# Calls of system call $2 counted by strace -c in file $1 (0 if none).
strace_calls() {
  awk -v name="$2" '$NF == name && $1 != "%" { n = $4 } END { print n + 0 }' "$1"
}

# The five most frequent system calls in strace -c file $1, as "name count".
strace_top() {
  awk '$1 ~ /^[0-9.]+$/ && $NF != "total" { print $4, $NF }' "$1" |
    sort -rn | head -5 | awk '{ printf "%s%s %s", sep, $2, $1; sep = ", " }'
}

# Peak RSS in KiB of the command that /usr/bin/time -v reported in file $1.
peak_rss_kib() {
  awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$1"
}



# The three scanning commands, on pair directory $1, each under the command
# in the array wrap (strace, /usr/bin/time) when that is not empty.
wrap=()
scan_kalvern() { "${wrap[@]}" "$KALVERN" "$1/L" "$1/R" <<<n >/dev/null; }
scan_find() { "${wrap[@]}" find "$1/L" "$1/R" -printf '%T@ %P\n' >/dev/null; }
scan_rsync() {
  "${wrap[@]}" rsync -rtun --delete --itemize-changes "$1/L/" "$1/R/" >/dev/null
}

# Runs scan tool $1 on pair $2 and prints its wall time in microseconds.
time_scan() {
  local start end status=0
  start=$(now_us)
  "scan_$1" "$2" || status=$?
  end=$(now_us)
  if [ "$status" -ne 0 ]; then
    echo "run.sh: $1 ended with status $status on $2" >&2
    exit 1
  fi
  echo $(( end - start ))
}

# One line of a table: label, three values, target, verdict.
row() {
  printf '%-38s %12s %12s %12s   %-10s %s\n' "$@" | sed 's/ *$//'
}



df_avail_gib() {
  df -Pk "$1" | awk 'NR == 2 { printf "%d", $4 / 1048576 }'
}

# ------------------------------------------------------------- the run

echo "kalvern benchmark: $KALVERN ($("$KALVERN" --version))"
if [ -n "$KALVERN_BEFORE" ]; then
  echo "earlier kalvern in the synchronisation: $KALVERN_BEFORE"
fi
echo "N=$N files per side, seed $SEED, $ROUNDS rounds, work directory $WORK"
echo "free disk space there: $(df_avail_gib "$WORK") GiB"
echo

# The scan pairs hold empty files only: inodes, hardly any disk space.
echo "Generating the scan pairs ..."
gen_start=$(now_us)
make_pair "$WORK/scan-$N" mode=scan "n=$N" pdiff=0.03 ponly=0.02 \
  "per_dir=$FILES_PER_DIR"
make_pair "$WORK/scan-small-$SMALL_N" mode=scan "n=$SMALL_N" pdiff=0.03 ponly=0.02 \
  "per_dir=$FILES_PER_DIR"
make_pair "$WORK/write-$WRITE_N" mode=scan "n=$WRITE_N" pdiff=0.10 ponly=0.01 \
  "per_dir=$FILES_PER_DIR"
echo "  done in $(calc '%.1f' "($(now_us) - $gen_start) / 1e6") s"

big=$WORK/scan-$N
small=$WORK/scan-small-$SMALL_N
pair_stats "$big"
big_files=$pair_files
big_left=$pair_left
big_right=$pair_right
avg_key=$(calc '%.1f' "$pair_key_bytes / $pair_files")
echo "scan pair: $pair_left files left, $pair_right right; $pair_diff differing," \
  "$pair_only_left only left, $pair_only_right only right;" \
  "average key $avg_key bytes"
pair_stats "$small"
small_files=$pair_files

# kalvern must really scan and decline, or its times mean nothing.
"$KALVERN" "$big/L" "$big/R" <<<n >"$tmp/out.txt" 2>"$tmp/err.txt" || {
  echo "run.sh: kalvern failed on the scan pair:" >&2
  head -5 "$tmp/err.txt" >&2
  exit 1
}
if ! grep -q "Abgleich wurde auf Wunsch beendet" "$tmp/out.txt"; then
  echo "run.sh: kalvern did not decline as expected; its last lines:" >&2
  tail -5 "$tmp/out.txt" >&2
  exit 1
fi

# Warm the caches, then interleave the tools, rotating their order.
tools=(kalvern find rsync)
for tool in "${tools[@]}"; do time_scan "$tool" "$big" >/dev/null; done
declare -A times=()
for (( round = 0; round < ROUNDS; round++ )); do
  for (( k = 0; k < 3; k++ )); do
    tool=${tools[(round + k) % 3]}
    times[$tool]+="$(time_scan "$tool" "$big") "
  done
done
declare -A wall=() fastest=()
for tool in "${tools[@]}"; do
  # shellcheck disable=SC2086
  wall[$tool]=$(median_s ${times[$tool]})
  # shellcheck disable=SC2086
  fastest[$tool]=$(printf '%s\n' ${times[$tool]} | sort -n | head -1 |
    awk '{ printf "%.3f", $1 / 1e6 }')
done

# CPU time (user + system, all threads), interleaved like the wall times.
declare -A cpu_times=() cpu=()
for (( round = 0; round < ROUNDS; round++ )); do
  for tool in kalvern find; do
    wrap=(/usr/bin/time -f '%U %S' -o "$tmp/cpu.$tool")
    "scan_$tool" "$big"
    wrap=()
    cpu_times[$tool]+="$(awk '{ printf "%.2f", $1 + $2 }' "$tmp/cpu.$tool") "
  done
done
for tool in kalvern find; do
  # shellcheck disable=SC2086
  cpu[$tool]=$(median ${cpu_times[$tool]})
done
cf=$(calc '%.2f' "${cpu[kalvern]} / ${cpu[find]}")

# System calls: deterministic, one traced run each.
declare -A calls=()
for tool in "${tools[@]}"; do
  wrap=(strace -f -c -o "$tmp/strace.$tool")
  "scan_$tool" "$big"
done
wrap=()
for tool in "${tools[@]}"; do
  calls[$tool]=$(calc '%.3f' "$(strace_total "$tmp/strace.$tool") / $big_files")
done

# Peak memory on the small and the large pair.
declare -A rss_small=() rss_big=() per_file=()
for tool in "${tools[@]}"; do
  wrap=(/usr/bin/time -v -o "$tmp/time.small")
  "scan_$tool" "$small"
  wrap=(/usr/bin/time -v -o "$tmp/time.big")
  "scan_$tool" "$big"
  wrap=()
  rss_small[$tool]=$(peak_rss_kib "$tmp/time.small")
  rss_big[$tool]=$(peak_rss_kib "$tmp/time.big")
  per_file[$tool]=$(calc '%.1f' \
    "(${rss_big[$tool]} - ${rss_small[$tool]}) * 1024 / ($big_files - $small_files)")
done
mem_target=$(calc '%.1f' "$avg_key + 80")

# Writes per 4 KiB of listing.
write_pair=$WORK/write-$WRITE_N
pair_stats "$write_pair"
write_lines=$(( pair_diff + pair_only_left + pair_only_right ))
# The C++ library hands large pieces to writev, so both calls count.
write_bytes=$(strace -f -c -e trace=write,writev -o "$tmp/strace.write" \
  "$KALVERN" "$write_pair/L" "$write_pair/R" <<<n | wc -c)
write_calls=$(( $(strace_calls "$tmp/strace.write" write) \
  + $(strace_calls "$tmp/strace.write" writev) ))
writes_per_4k=$(calc '%.3f' "$write_calls * 4096 / $write_bytes")

kf=$(calc '%.2f' "${wall[kalvern]} / ${wall[find]}")
kr=$(calc '%.2f' "${wall[kalvern]} / ${wall[rsync]}")
ck=$(calc '%.2f' "${calls[kalvern]} / ${calls[find]}")

echo
echo "Scan, warm caches, medians of $ROUNDS interleaved rounds" \
  "($big_files files scanned: $big_left + $big_right)"
row "" kalvern find rsync target result
row "wall time, median [s]" "${wall[kalvern]}" "${wall[find]}" "${wall[rsync]}" "" ""
row "  kalvern / find" "$kf" "" "" "<= 0.60" "$(verdict "$kf" 0.6)"
row "  kalvern / rsync" "$kr" "" "" "<= 0.85" "$(verdict "$kr" 0.85)"
row "CPU time, user + system, median [s]" "${cpu[kalvern]}" "${cpu[find]}" "" "" ""
row "  kalvern / find" "$cf" "" "" "<= 1.10" "$(verdict "$cf" 1.1)"
row "wall time, fastest run [s]" "${fastest[kalvern]}" "${fastest[find]}" \
  "${fastest[rsync]}" "" ""
row "system calls per scanned file" "${calls[kalvern]}" "${calls[find]}" \
  "${calls[rsync]}" "" ""
row "  kalvern / find" "$ck" "" "" "<= 0.75" "$(verdict "$ck" 0.75)"
row "  kalvern per scanned file" "${calls[kalvern]}" "" "" "<= 1.30" \
  "$(verdict "${calls[kalvern]}" 1.3)"
row "peak RSS, small pair [KiB]" "${rss_small[kalvern]}" "${rss_small[find]}" \
  "${rss_small[rsync]}" "" ""
row "peak RSS, N pair [KiB]" "${rss_big[kalvern]}" "${rss_big[find]}" \
  "${rss_big[rsync]}" "" ""
row "memory per scanned file [bytes]" "${per_file[kalvern]}" "${per_file[find]}" \
  "${per_file[rsync]}" "<= $mem_target" "$(verdict "${per_file[kalvern]}" "$mem_target")"
echo "  (target: average key length $avg_key bytes + 80;" \
  "growth from $small_files to $big_files scanned files)"
echo "  kalvern's most frequent system calls: $(strace_top "$tmp/strace.kalvern")"
echo "  find's most frequent system calls:    $(strace_top "$tmp/strace.find")"

# Cold caches: kalvern and find only, the caches dropped before every run.
if [ "$COLD" = 1 ] && [ -w /proc/sys/vm/drop_caches ]; then
  declare -A cold_times=() cold=()
  for (( round = 0; round < ROUNDS; round++ )); do
    if (( round % 2 )); then order=(find kalvern); else order=(kalvern find); fi
    for tool in "${order[@]}"; do
      sync
      echo 3 >/proc/sys/vm/drop_caches
      cold_times[$tool]+="$(time_scan "$tool" "$big") "
    done
  done
  for tool in kalvern find; do
    # shellcheck disable=SC2086
    cold[$tool]=$(median_s ${cold_times[$tool]})
  done
  ckf=$(calc '%.2f' "${cold[kalvern]} / ${cold[find]}")
  echo
  echo "Scan, cold caches (dropped before every run), medians of $ROUNDS rounds"
  row "" kalvern find "" target result
  row "wall time, median [s]" "${cold[kalvern]}" "${cold[find]}" "" "" ""
  row "  kalvern / find" "$ckf" "" "" "<= 0.50" "$(verdict "$ckf" 0.5)"
elif [ "$COLD" = 1 ]; then
  echo
  echo "Scan, cold caches: skipped - dropping the caches needs root."
fi

echo
echo "Listing output, pair with 10 % differing" \
  "($pair_left + $pair_right files, $write_lines listed)"
row "" kalvern "" "" target result
row "bytes on standard output" "$write_bytes" "" "" "" ""
row "write and writev calls" "$write_calls" "" "" "" ""
row "  writes per 4 KiB of output" "$writes_per_4k" "" "" "<= 1" \
  "$(verdict "$writes_per_4k" 1)"

# ------------------------------------------------------- synchronisation

echo
if [ "$SKIP_SYNC" = 1 ]; then
  echo "Synchronisation: skipped (SKIP_SYNC=1 or --skip-sync)."
  rm -rf "$tmp"
  exit 0
fi

# A tiny pair first: does kalvern -y synchronise at all yet?
probe=$tmp/probe
mkdir -p "$probe/L" "$probe/R"
echo new >"$probe/L/both.txt"
echo old >"$probe/R/both.txt"
touch -d @1500000100 "$probe/L/both.txt"
touch -d @1500000000 "$probe/R/both.txt"
echo left >"$probe/L/left only.txt"
echo right >"$probe/R/right only.txt"
"$KALVERN" -y "$probe/L" "$probe/R" <<<b >/dev/null 2>&1 || true
if ! trees_agree "$probe"; then
  echo "Synchronisation: pending - kalvern -y answering b left a tiny pair unequal," \
    "so it does not synchronise yet; section not measured."
  rm -rf "$tmp"
  exit 0
fi

# The pair and one fresh copy of it, each with two sides.
sync_side_mib=$(( SYNC_LARGE * SYNC_LARGE_MIB + (SYNC_SMALL + SYNC_ONLY) * 4 / 1024 + 1 ))
sync_need_gib=$(( sync_side_mib * 4 / 1024 + 1 ))
if [ "$(df_avail_gib "$WORK")" -lt "$sync_need_gib" ]; then
  echo "Synchronisation: skipped - needs about $sync_need_gib GiB free in $WORK."
  rm -rf "$tmp"
  exit 0
fi

echo "Generating the synchronisation pair (about $(( sync_side_mib * 2 )) MiB) ..."
sync_pair=$WORK/sync
gen_start=$(now_us)
make_pair "$sync_pair" mode=sync "nsmall=$SYNC_SMALL" "nbig=$SYNC_LARGE" \
  "nonly=$SYNC_ONLY" "per_dir=$FILES_PER_DIR" "big_mib=$SYNC_LARGE_MIB"
pair_stats "$sync_pair"
echo "  done in $(calc '%.1f' "($(now_us) - $gen_start) / 1e6") s;" \
  "$pair_diff differing ($SYNC_LARGE of $SYNC_LARGE_MIB MiB)," \
  "$pair_only_left only left, $pair_only_right only right"

# The files cp -a copies: each side's newer or only files, as paths below it.
awk -F'\t' -v out="$tmp/copy" '
  NR == FNR { left[$1] = $2; next }
  { right[$1] = $2 }
  END {
    for (p in left) if (!(p in right) || left[p] > right[p]) print p > (out ".L")
    for (p in right) if (!(p in left) || right[p] > left[p]) print p > (out ".R")
  }' <(tree_state "$sync_pair/L") <(tree_state "$sync_pair/R")
for side in L R; do
  touch "$tmp/copy.$side"
  sort -o "$tmp/copy.$side" "$tmp/copy.$side"
done
copy_mb=$(cd "$sync_pair" &&
  { sed 's|^|L/|' "$tmp/copy.L"; sed 's|^|R/|' "$tmp/copy.R"; } |
  xargs -d '\n' stat -c %s -- | awk '{ n += $1 } END { printf "%d", n / 1e6 }')
echo "  to copy: $(cat "$tmp/copy.L" "$tmp/copy.R" | wc -l) files, $copy_mb MB"

sync_kalvern() { "$KALVERN" -y "$1/L" "$1/R" <<<b >/dev/null; }
sync_before() { "$KALVERN_BEFORE" -y "$1/L" "$1/R" <<<b >/dev/null; }
# cp -a of the files to copy, each side's in one go, then written to disk.
sync_cp_sync() {
  (cd "$1/L" && xargs -r -d '\n' -a "$tmp/copy.L" cp -a --parents -t "$1/R" --) &&
    (cd "$1/R" && xargs -r -d '\n' -a "$tmp/copy.R" cp -a --parents -t "$1/L" --) &&
    sync
}
sync_rsync() { rsync -rtu "$1/L/" "$1/R/" && rsync -rtu "$1/R/" "$1/L/"; }
# The same made durable: a sync at the end, or rsync's own fsync per file.
sync_rsync_sync() { sync_rsync "$1" && sync; }
sync_rsync_fsync() {
  rsync -rtu --fsync "$1/L/" "$1/R/" && rsync -rtu --fsync "$1/R/" "$1/L/"
}

# A fresh copy of the pair, written back to disk before the clock starts.
run_copy=$WORK/sync-run
fresh_copy() {
  rm -rf "$run_copy"
  mkdir -p "$run_copy"
  cp -a "$sync_pair/L" "$sync_pair/R" "$run_copy/"
  sync
}

sync_cold=0
if [ "$COLD" = 1 ] && [ -w /proc/sys/vm/drop_caches ]; then sync_cold=1; fi
sync_tools=(kalvern rsync rsync_sync rsync_fsync cp_sync)
[ -z "$KALVERN_BEFORE" ] || sync_tools+=(before)
declare -A sync_times=()
sync_failed=""
rm -f "$tmp/synced"
for (( round = 0; round < SYNC_ROUNDS; round++ )); do
  for (( k = 0; k < ${#sync_tools[@]}; k++ )); do
    tool=${sync_tools[(round + k) % ${#sync_tools[@]}]}
    fresh_copy
    if [ "$sync_cold" = 1 ]; then echo 3 >/proc/sys/vm/drop_caches; fi
    status=0
    start=$(now_us)
    "sync_$tool" "$run_copy" || status=$?
    end=$(now_us)
    sync_times[$tool]+="$(( end - start )) "
    if [ "$status" -ne 0 ] || ! trees_agree "$run_copy"; then
      sync_failed+=" $tool(status $status)"
    fi
    # Every tool must leave the trees the first run left.
    if [ ! -f "$tmp/synced" ]; then
      tree_state "$run_copy/L" >"$tmp/synced"
    elif ! cmp -s "$tmp/synced" <(tree_state "$run_copy/L"); then
      sync_failed+=" $tool(other trees than the first run)"
    fi
  done
done
rm -rf "$run_copy"
[ "$KEEP_SYNC" = 1 ] || rm -rf "$sync_pair"

declare -A sync_wall=()
for tool in "${sync_tools[@]}"; do
  # shellcheck disable=SC2086
  sync_wall[$tool]=$(median_s ${sync_times[$tool]})
done
sr=$(calc '%.2f' "${sync_wall[kalvern]} / ${sync_wall[rsync]}")
srs=$(calc '%.2f' "${sync_wall[kalvern]} / ${sync_wall[rsync_sync]}")
srf=$(calc '%.2f' "${sync_wall[kalvern]} / ${sync_wall[rsync_fsync]}")

sync_caches="warm caches"
[ "$sync_cold" = 0 ] || sync_caches="caches dropped before every run"
echo
echo "Synchronisation on fresh copies, $sync_caches, medians of $SYNC_ROUNDS" \
  "rounds (answer b; rsync -rtu both ways, alone, followed by sync, and with" \
  "--fsync)"
# One line of this table: label, four values, target, verdict.
sync_row() {
  printf '%-30s %10s %10s %12s %13s   %-10s %s\n' "$@" | sed 's/ *$//'
}
sync_row "" kalvern rsync "rsync+sync" "rsync --fsync" target result
sync_row "wall time [s]" "${sync_wall[kalvern]}" "${sync_wall[rsync]}" \
  "${sync_wall[rsync_sync]}" "${sync_wall[rsync_fsync]}" "" ""
sync_row "  kalvern / rsync" "$sr" "" "" "" "" ""
sync_row "  kalvern / (rsync + sync)" "$srs" "" "" "" "<= 1.00" "$(verdict "$srs" 1)"
sync_row "  kalvern / rsync --fsync" "$srf" "" "" "" "<= 0.50" "$(verdict "$srf" 0.5)"
echo
echo "The same rounds against cp -a of the $copy_mb MB to copy, followed by sync"
sync_row "" kalvern before "cp -a+sync" "" target result
ks=$(calc '%.2f' "${sync_wall[kalvern]} / ${sync_wall[cp_sync]}")
sync_row "wall time [s]" "${sync_wall[kalvern]}" "${sync_wall[before]:-}" \
  "${sync_wall[cp_sync]}" "" "" ""
sync_row "  / (cp -a + sync)" "$ks" \
  "${KALVERN_BEFORE:+$(calc '%.2f' "${sync_wall[before]:-0} / ${sync_wall[cp_sync]}")}" \
  "" "" "<= 0.80" "$(verdict "$ks" 0.8)"
if [ -n "$KALVERN_BEFORE" ]; then
  sync_row "  kalvern / before" \
    "$(calc '%.2f' "${sync_wall[kalvern]} / ${sync_wall[before]}")" "" "" "" "" ""
  sync_row "  before / (rsync + sync)" "" \
    "$(calc '%.2f' "${sync_wall[before]} / ${sync_wall[rsync_sync]}")" "" "" "" ""
fi
for tool in "${sync_tools[@]}"; do
  # shellcheck disable=SC2086
  echo "  $tool, single runs [s]: $(printf '%s\n' ${sync_times[$tool]} |
    awk '{ printf "%s%.3f", sep, $1 / 1e6; sep = " " }')"
done
if [ -n "$sync_failed" ]; then
  echo "  WARNING: trees not equal afterwards (or non-zero status):$sync_failed"
fi
rm -rf "$tmp"
