# progress.sh: the status line on standard error.  On a terminal it shows the
# files found during the scan, and during a synchronisation the files and
# bytes done of all, the time left and a long copy; it fits the width and is
# erased before any other output; standard output stays as it is, and with
# standard error in a pipe nothing appears there.  strace holds each listing
# of a directory (each read of the copy, each write) back, so that the work
# takes seconds on any machine.
. "$(dirname "$0")/common.sh"
need_tool strace strace

# 80 ms per listing of a directory: the scan reads ahead with several threads,
# but a chain of directories is listed one after the other, each at least
# twice; the files found so far are counted as the walk leaves a directory.  Copies go through reads of 64 KiB, 40 ms each.
SLOW_SCAN="strace -o /dev/null -f -e trace=getdents64 -e inject=getdents64:delay_exit=80000"
SLOW_COPY="strace -o /dev/null -f -e trace=copy_file_range,read,pread64"
SLOW_COPY+=" -e inject=copy_file_range:error=EXDEV"
SLOW_COPY+=" -e inject=read,pread64:delay_exit=40000"
# 40 ms per write: a synchronisation of many small files goes at the pace of
# its lines.
SLOW_LINES="strace -o /dev/null -f -e trace=write -e inject=write:delay_enter=40000"

# slow_run COLS STDOUT SLOW ARGS...: runs the binary in the current directory
# under SLOW.  COLS 0: standard error to a pipe, which lands in $ERR.  Else
# standard error on a terminal of COLS columns, which lands in $OUT; standard
# output goes to the file STDOUT, or with "-" to the terminal as well.
slow_run() {
  local cols=$1 stdout=$2 slow=$3 command
  shift 3
  command="$slow $(printf '%q ' "$KALVERN" "$@") </dev/null"
  [ "$stdout" = - ] || command+=" >$(printf '%q' "$stdout")"
  if [ "$cols" = 0 ]; then
    bash -c "$command 2>&1" | cat >"$ERR"
  else
    script -qec "stty cols $cols -onlcr && exec $command" /dev/null </dev/null >"$OUT"
  fi
  LAST_RUN="$(describe "$@") slowed down, $cols columns"
}

# check_status_lines PATTERN WIDTH: in $OUT, a status line ("\r", text,
# "\e[K") matches the Perl PATTERN, none is wider than WIDTH, each is erased
# ("\r\e[K") before any other byte; $OUT without them goes to $HELPER_DIR/rest.
check_status_lines() {
  PATTERN=$1 WIDTH=$2 perl -CSD -0777 -ne '
    my @drawn = grep { $_ ne "" } /\r([^\r\n]*?)\e\[K/g;
    print "none matches\n" unless grep { /$ENV{PATTERN}/ } @drawn;
    for (@drawn) { print "too wide: $_\n" if length > $ENV{WIDTH} }
    print "not erased\n" if /\r[^\r\n]+?\e\[K(?!\r)/;
    print "stray escape\n" if s/\r[^\r\n]*?\e\[K//gr =~ /[\r\e]/;
  ' "$OUT" >"$HELPER_DIR/problems"
  check_same "$EMPTY" "$HELPER_DIR/problems" "status lines of $LAST_RUN"
  perl -0777 -pe 's/\r[^\r\n]*?\e\[K//g' "$OUT" >"$HELPER_DIR/rest"
}

# The scan: a chain of 8 directories on each side, each of which holds a
# directory of 10 files besides the next link of the chain; all equal.
chain=scan/L
for d in $(seq 1 8); do
  chain+=/c$d
  mkdir -p "$chain/leaf"
  for f in $(seq 1 10); do : >"$chain/leaf/f$f"; done
done
touch -d @1000 $(find scan/L -type f)
cp -a scan/L scan/R
cd scan
slow_run 0 ../pipe.out "$SLOW_SCAN" L R &
pipe_run=$!
for case in '100 ^Suche: links [1-9][0-9]* Dateien, rechts [0-9]+ Dateien$' \
  '20 ^Suche: links [1-9]'; do
  slow_run "${case%% *}" ../terminal.out "$SLOW_SCAN" L R
  if [ -n "$pipe_run" ]; then
    wait "$pipe_run" || true
    pipe_run=
    check_same "$(expected "$(summary 160 80 0 0)$IDENTICAL_MSG")" ../pipe.out \
      "stdout of the scan slowed down, standard error in a pipe"
    check_same "$EMPTY" "$ERR" "stderr of the scan slowed down, standard error in a pipe"
  fi
  check_status_lines "${case#* }" $((${case%% *} - 3))
  check_same "$EMPTY" "$HELPER_DIR/rest" "terminal of $LAST_RUN"
  check_same ../pipe.out ../terminal.out "stdout of $LAST_RUN"
done
cd ..

# A copy of 3 MiB, both streams on the terminal.  Here as above and below,
# the run with standard error in a pipe goes on beside one on a terminal:
# each waits on strace alone.
mkdir -p copy/L copy/R
head -c 3145728 /dev/zero >copy/L/big.bin
touch -d @2000 copy/L/big.bin
make_file copy/R/big.bin 1000 old
cp -a copy copy2
(cd copy2 && slow_run 0 ../pipe.out "$SLOW_COPY" -y -c 30 L R) &
cd copy
slow_run 100 - "$SLOW_COPY" -y -c 30 L R
wait
check_same "$EMPTY" "$ERR" "stderr of the copy slowed down, standard error in a pipe"
check_status_lines '^Abgleich: 0 von 1 Dateien, [0-9],[0-9] von 3,1 MB \([0-9]+ %\) \x{2013} Kopiere R/big\.bin \([0-9]+ %\)$' 97
check_same ../pipe.out "$HELPER_DIR/rest" "stdout of $LAST_RUN"
cmp -s L/big.bin R/big.bin || fail "$LAST_RUN: the copy differs"
cd ..

# 80 files of 100000 bytes: the files and bytes done rise, the time left
# appears from the third second on, and every line is one of the run's.
mkdir -p many/L many/R
for f in $(seq 1 80); do
  head -c 100000 /dev/zero >many/L/f$f.bin
  make_file many/R/f$f.bin 1000 old
done
touch -d @2000 many/L/*
for copy in many2 narrow stopped; do cp -a many $copy; done
(cd many2 && slow_run 0 ../pipe.out "$SLOW_LINES" -y -c 30 L R) &
# Beside it, on 30 columns: the share and the time left stay.
(cd narrow && OUT=../narrow.out slow_run 30 ../narrow.stdout "$SLOW_LINES" -y -c 30 L R) &
# And on 40 columns, SIGINT after 40 lines: each line leaves room for the
# echo of ^C, and it is erased before the program ends.
(cd stopped && OUT=../stopped.out slow_run 40 ../stopped.stdout "$SLOW_LINES" -y -c 30 L R ||
  true) &
(cd many && slow_run 100 ../terminal.out "$SLOW_LINES" -y -c 30 L R) &
for i in $(seq 1 300); do
  [ -f stopped.stdout ] && [ "$(grep -c '^L/.* -> R/' stopped.stdout)" -ge 40 ] && break
  sleep 0.05
done
for pid in $(pgrep -x kalvern); do
  [ "$(readlink "/proc/$pid/cwd")" = "$PWD/stopped" ] && kill -INT "$pid"
done
cd many
LAST_RUN="$(describe -y -c 30 L R) slowed down, 100 columns"
wait
check_same "$EMPTY" "$ERR" "stderr of the 80 files slowed down, standard error in a pipe"
OUT=../narrow.out LAST_RUN="80 files on 30 columns" check_status_lines \
  '^[0-9]+ %, noch etwa [0-9]+ (s|min)$' 27
OUT=../stopped.out LAST_RUN="80 files stopped on 40 columns" check_status_lines \
  '\([0-9]+ %\)' 37
grep -q 'Abgleich abgebrochen' ../stopped.out || fail "80 files stopped: no copy told undone"
check_status_lines '^Abgleich: [1-9][0-9]* von 80 Dateien, [0-9]+,[0-9] von 8,0 MB \([0-9]+ %\), noch etwa [0-9]+ (s|min)$' 97
check_same "$EMPTY" "$HELPER_DIR/rest" "terminal of $LAST_RUN"
check_same ../pipe.out ../terminal.out "stdout of $LAST_RUN"
perl -CSD -0777 -ne '
  my @drawn = grep { $_ ne "" } /\r([^\r\n]*?)\e\[K/g;
  for (@drawn) {
    print "not the run: $_\n"
      unless /^Abgleich: \d+ von 80 Dateien, \d+,\d von 8,0 MB \(\d+ %\)(, noch|$)/;
  }
  my @files = map { /^Abgleich: (\d+)/ } @drawn;
  my @bytes = map { /, (\d+,\d) von/ ? $1 =~ tr/,/./r : () } @drawn;
  print "files fall\n" if grep { $files[$_] < $files[$_ - 1] } 1 .. $#files;
  print "bytes fall\n" if grep { $bytes[$_] < $bytes[$_ - 1] } 1 .. $#bytes;
  print "no rise\n" unless @files && $files[-1] > $files[0] && $bytes[-1] > $bytes[0];
  print "estimated at once\n" if $drawn[0] =~ /noch etwa/;
' "$OUT" >"$HELPER_DIR/problems"
check_same "$EMPTY" "$HELPER_DIR/problems" "counts of $LAST_RUN"
cmp -s L/f80.bin R/f80.bin || fail "$LAST_RUN: the copy differs"
