# common.sh: helpers shared by run.sh and net.sh: times, medians, the
# generated pairs of trees and their comparison.  Expects $bench_dir (this
# directory) and $SEED.

# Whole microseconds since the epoch.
now_us() {
  local t=$EPOCHREALTIME
  echo $(( ${t%.*} * 1000000 + 10#${t#*.} ))
}

# Median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                             else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Floating-point arithmetic: calc FORMAT EXPRESSION.
calc() {
  awk "BEGIN { printf \"$1\", $2 }"
}

# Median of the times in microseconds given as arguments, in seconds with
# three decimals.
median_s() {
  calc '%.3f' "$(median "$@") / 1e6"
}

# Builds the pair planned by gen.awk in directory $1; the remaining
# arguments are "name=value" settings for gen.awk, and big_mib=M makes the
# large files M MiB (default 8). An existing pair made with the same
# settings is kept.
make_pair() {
  local dir=$1
  shift
  local settings
  settings="$* seed=$SEED gen=$(cksum <"$bench_dir/gen.awk" | cut -d' ' -f1)"
  if [ -f "$dir/.settings" ] && [ "$(cat "$dir/.settings")" = "$settings" ]; then
    return
  fi
  rm -rf "$dir"
  mkdir -p "$dir/lists/L" "$dir/lists/R" "$dir/L" "$dir/R"
  local -a vars=(-v "out=$dir/lists" -v "seed=$SEED")
  local setting big_mib=8
  for setting in "$@"; do
    vars+=(-v "$setting")
    case $setting in big_mib=*) big_mib=${setting#big_mib=} ;; esac
  done
  awk "${vars[@]}" -f "$bench_dir/gen.awk"

  local side list secs blob
  for side in L R; do
    (cd "$dir/$side" && xargs -d '\n' -a "$dir/lists/dirs" mkdir -p --)
    # Content first (tee writes one random blob to many files), times after.
    for list in "$dir/lists/$side".*; do
      [ -e "$list" ] || continue
      blob=$dir/blob.$side.${list##*.}
      case $list in
        *.big) head -c $(( big_mib * 1024 * 1024 )) /dev/urandom >"$blob" ;;
        *) head -c 4096 /dev/urandom >"$blob" ;;
      esac
      # shellcheck disable=SC2016 # expanded by the inner sh
      (cd "$dir/$side" &&
        xargs -d '\n' -n 500 -a "$list" \
          sh -c 'exec tee -- "$@" <"$0" >/dev/null' "$blob")
    done
    for list in "$dir/lists/$side"/t*; do
      secs=${list##*/t}
      (cd "$dir/$side" && xargs -d '\n' -a "$list" touch -d "@$secs" --)
    done
  done
  echo "$settings" >"$dir/.settings"
}

# The files of tree $1 with time and size, sorted, for comparing two trees.
tree_state() {
  (cd "$1" && find . -type f -printf '%P\t%T@\t%s\n' | sort)
}

trees_agree() {
  cmp -s <(tree_state "$1/L") <(tree_state "$1/R")
}

# Reads the figures of a pair into the pair_* variables.
pair_stats() {
  read -r pair_left pair_right pair_diff pair_only_left pair_only_right \
    pair_key_bytes <"$1/lists/stats"
  pair_files=$(( pair_left + pair_right ))
  pair_dirs=$(wc -l <"$1/lists/dirs")
}

# install_missing COMMAND PACKAGE ...: installs with apt-get each PACKAGE
# whose COMMAND is missing.
install_missing() {
  local packages=()
  while [ $# -gt 1 ]; do
    command -v "$1" >/dev/null 2>&1 || packages+=("$2")
    shift 2
  done
  [ ${#packages[@]} -gt 0 ] || return 0
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${packages[@]}" >/dev/null
}

# build_release: unless $KALVERN names a binary, builds kalvern (Release) in
# $WORK/build and sets KALVERN to it.
build_release() {
  [ -z "$KALVERN" ] || return 0
  echo "Building kalvern (Release) in $WORK/build ..."
  cmake -S "$repo_dir" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$WORK/build" -j"$(nproc)" --target kalvern >/dev/null
  KALVERN=$WORK/build/kalvern
}
