#!/usr/bin/env bash
# eta.sh: how well the status line's time left foretells the end of a
# synchronisation, where time goes by the file and where it goes by the
# byte.  strace slows each run down (delay_enter), so that it takes about a
# minute on any machine:
#   files: many small one-sided files copied, and half as many deleted
#          (answer r), each file system call that a copy or a deletion
#          makes held back, as on a NAS where every request waits;
#   bytes: a few large one-sided files, each write of 64 KiB held back, as
#          on a slow disk (copy_file_range is refused, so the copies write).
# The status line is read from a pseudo-terminal as it is drawn; at 10, 25,
# 50 and 75 % of the run's time the time left it last showed (and its
# share) is set beside the time the run then really took to its end.
#
# Usage:
#   bash bench/eta.sh                       both regimes
#   bash bench/eta.sh -k build/kalvern files
#
# Options, each also settable by the environment variable in brackets:
#   -k BINARY  the kalvern binary [KALVERN; default: build/kalvern, made with
#              `cmake --preset dev && cmake --build --preset dev`]
#   -d DIR     where the trees go [WORK, default: a new directory in /tmp]
#   -f COUNT   small files of the files regime [FILES, default 4000]
#   -m MIB     MiB of each of the 4 large files of the bytes regime
#              [MIB, default 64]
#
# Needs strace, script (util-linux) and perl.
set -euo pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
KALVERN=${KALVERN:-$bench_dir/../build/kalvern}
WORK=${WORK:-}
FILES=${FILES:-4000}
MIB=${MIB:-64}
while getopts k:d:f:m: option; do
  case $option in
    k) KALVERN=$OPTARG ;;
    d) WORK=$OPTARG ;;
    f) FILES=$OPTARG ;;
    m) MIB=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
REGIMES=${*:-files bytes}
KALVERN=$(realpath "$KALVERN")
[ -x "$KALVERN" ] || { echo "no binary at $KALVERN" >&2; exit 1; }
if [ -z "$WORK" ]; then
  WORK=$(mktemp -d /tmp/kalvern-eta.XXXXXX)
  trap 'rm -rf "$WORK"' EXIT
fi

# The calls that each copy of a small file makes, and the scan hardly,
# held back 30 ms each.
calls=openat,copy_file_range,fcntl,fgetxattr,fchmod,utimensat,renameat2
calls+=,fsync,fdatasync,syncfs,unlinkat
SLOW_FILES="-e trace=$calls -e inject=$calls:delay_enter=30000"
# Each write held back 60 ms; the copies write, as copy_file_range fails.
SLOW_BYTES="-e trace=copy_file_range,pwrite64,write"
SLOW_BYTES+=" -e inject=copy_file_range:error=EXDEV"
SLOW_BYTES+=" -e inject=pwrite64,write:delay_enter=60000"

# make_trees REGIME: in $WORK/REGIME, a left tree of the regime's files and
# a right one with none of them (for files, with others to delete).
make_trees() {
  local dir=$WORK/$1 i
  rm -rf "$dir" && mkdir -p "$dir/L" "$dir/R"
  if [ "$1" = files ]; then
    for i in $(seq 1 "$FILES"); do
      mkdir -p "$dir/L/d$((i % 20))"
      head -c 4096 /dev/urandom >"$dir/L/d$((i % 20))/f$i"
    done
    for i in $(seq 1 $((FILES / 2))); do
      mkdir -p "$dir/R/e$((i % 20))"
      : >"$dir/R/e$((i % 20))/g$i"
    done
  else
    for i in 1 2 3 4; do
      head -c $((MIB << 20)) /dev/urandom >"$dir/L/big$i"
    done
  fi
}

# measure REGIME SLOW: runs kalvern -y answering r under strace with SLOW,
# standard error on a terminal of 200 columns, and prints the table.
measure() {
  local dir=$WORK/$1
  cd "$dir"
  printf 'r\n' >answer
  # shellcheck disable=SC2086  # SLOW holds strace's options
  script -qfec "stty cols 200 && exec strace -o /dev/null -f $2 \
    $(printf '%q' "$KALVERN") -y L R <answer >/dev/null" /dev/null </dev/null |
    REGIME=$1 perl -e '
      use Time::HiRes qw(time);
      $| = 1;
      my ($start, $buffer, @seen) = (time, "");
      while (sysread(STDIN, my $chunk, 65536)) {
        my $now = time - $start;
        $buffer .= $chunk;
        while ($buffer =~ s/^[^\r]*\r([^\r]*?)\e\[K//) {
          push @seen, [$now, $1];
        }
      }
      my $end = time - $start;
      printf "%s: %.0f s in all\n", $ENV{REGIME}, $end;
      printf "%6s %8s %6s %10s %10s %8s\n", "time", "at", "share", "shown",
        "real", "error";
      for my $mark (10, 25, 50, 75) {
        my ($t, $text);
        for (@seen) {
          last if $_->[0] > $end * $mark / 100;
          ($t, $text) = @$_ if $_->[1] =~ /noch etwa/;
        }
        next unless defined $text;
        $text =~ /noch etwa (?:(\d+) h ?)?(?:(\d+) min)?(?:(\d+) s)?/;
        my $shown = ($1 // 0) * 3600 + ($2 // 0) * 60 + ($3 // 0);
        my $share = $text =~ /\((\d+) %\)/ ? "$1 %" : "-";
        my $real = $end - $t;
        printf "%4d %% %7.1f s %6s %8d s %8.1f s %+7.0f %%\n", $mark, $t,
          $share, $shown, $real, $real > 0 ? 100 * ($shown - $real) / $real : 0;
      }'
}

for regime in $REGIMES; do
  make_trees "$regime"
  if [ "$regime" = files ]; then slow=$SLOW_FILES; else slow=$SLOW_BYTES; fi
  measure "$regime" "$slow"
done
