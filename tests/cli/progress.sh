# progress.sh: the status line on standard error.  On a terminal it shows the
# files found once the scan has run half a second, and the bytes of a copy
# that takes longer than a second; it is erased before anything else is
# written; standard output stays byte for byte as without it; with standard
# error in a pipe nothing at all appears there.  strace holds every stat of
# the scan (or every read of the copy) back a few milliseconds, so that the
# work takes seconds however fast the machine is.
. "$(dirname "$0")/common.sh"

if ! command -v strace >/dev/null || ! command -v perl >/dev/null; then
  echo "strace and perl are needed for this test" >&2
  exit 1
fi

# Holds back each stat of a file by 3 ms: 20 directories of 20 files per
# side make a scan of about 2.4 seconds.
SLOW_SCAN=(strace -o /dev/null -f -e trace=%%stat -e inject=%%stat:delay_exit=3000)
# Moves copies out of the kernel into 64 KiB reads, each held back by 40 ms.
SLOW_COPY=(strace -o /dev/null -f -e trace=copy_file_range,read
  -e inject=copy_file_range:error=EXDEV -e inject=read:delay_exit=40000)

# slow_on_terminal COLS STDOUT_FILE SLOW_ARRAY ARGS...: runs the binary under
# the tracer of SLOW_ARRAY with standard error (and, if STDOUT_FILE is "-",
# standard output too) on a terminal of COLS columns.  The terminal's output
# lands in $OUT, the status in $STATUS.
slow_on_terminal() {
  local cols=$1 stdout=$2 command word
  local -n slow=$3
  shift 3
  command="stty cols $cols -onlcr && exec"
  for word in "${slow[@]}" "$KALVERN" "$@"; do command+=" $(printf '%q' "$word")"; done
  command+=" </dev/null"
  [ "$stdout" = - ] || command+=" >$(printf '%q' "$stdout")"
  script -qec "$command" /dev/null </dev/null >"$OUT" 2>"$ERR" \
    && STATUS=0 || STATUS=$?
  LAST_RUN="$(describe "$@") slowed down, on a terminal of $cols columns"
  check_same "$EMPTY" "$ERR" "output of script(1) for $LAST_RUN"
}

# check_status_lines PATTERN WIDTH: the status lines in $OUT ("\r", text,
# "\e[K") include one that matches the Perl PATTERN, none is wider than WIDTH
# characters, each is erased ("\r\e[K") before any other byte follows, and no
# other carriage return or escape appears.
check_status_lines() {
  PATTERN=$1 WIDTH=$2 perl -CSD -0777 -ne '
    my @drawn = grep { $_ ne "" } /\r([^\r\n]*?)\e\[K/g;
    print "no status line matches $ENV{PATTERN}\n"
      unless grep { /$ENV{PATTERN}/ } @drawn;
    for (@drawn) { print "wider than $ENV{WIDTH}: $_\n" if length > $ENV{WIDTH} }
    print "a status line is not erased before other output\n"
      if /\r[^\r\n]+?\e\[K(?!\r)/;
    print "a stray carriage return or escape\n"
      if s/\r[^\r\n]*?\e\[K//gr =~ /[\r\e]/;
  ' "$OUT" >"$HELPER_DIR/problems"
  check_same "$EMPTY" "$HELPER_DIR/problems" "status lines of $LAST_RUN"
  perl -0777 -pe 's/\r[^\r\n]*?\e\[K//g' "$OUT" >"$HELPER_DIR/without-status"
}

# slow_with_pipe DIR SLOW_ARRAY ARGS...: the same run in DIR with standard
# error in a pipe; standard output lands in $OUT, the pipe's bytes in $ERR.
slow_with_pipe() {
  local dir=$1
  local -n slow=$2
  shift 2
  { env -C "$dir" "${slow[@]}" "$KALVERN" "$@" </dev/null 2>&1 >"$OUT" \
      && echo 0 >"$HELPER_DIR/status" || echo $? >"$HELPER_DIR/status"; } \
    | cat >"$ERR"
  STATUS=$(cat "$HELPER_DIR/status")
  LAST_RUN="$(describe "$@") slowed down, standard error in a pipe"
}

# --- The scan -----------------------------------------------------------------

# Two equal trees of 20 directories with 20 files each.
for d in $(seq 1 20); do
  for f in $(seq 1 20); do make_file "scan/L/d$d/f$f" 1000; done
done
cp -a scan/L scan/R
FOUND='^Suche: links [1-9][0-9]* Dateien, rechts [0-9]+ Dateien$'

# On a terminal: the counts appear and are erased, and nothing else shows
# on standard error.
cd scan
slow_on_terminal 100 "$HELPER_DIR/terminal.out" SLOW_SCAN L R
cd ..
check_status 0 "$LAST_RUN"
check_status_lines "$FOUND" 99
check_same "$EMPTY" "$HELPER_DIR/without-status" "terminal of $LAST_RUN"
# Standard output is that of a run with standard error in a pipe, and the
# pipe stays empty.
slow_with_pipe scan SLOW_SCAN L R
check_run 0 "$(expected "$(summary 800 400 0 0)$IDENTICAL_MSG")" "$EMPTY"
check_same "$OUT" "$HELPER_DIR/terminal.out" "stdout with standard error on a terminal"

# A narrow terminal cuts the line to one column less than its width.
cd scan
slow_on_terminal 20 "$HELPER_DIR/terminal.out" SLOW_SCAN L R
cd ..
check_status_lines '^Suche: links [1-9]' 19
check_same "$EMPTY" "$HELPER_DIR/without-status" "terminal of $LAST_RUN"

# A fast scan shows nothing.
on_terminal 100 /dev/null -- scan/L scan/R
check_same "$(expected "$(summary 800 400 0 0)$IDENTICAL_MSG")" "$OUT" \
  "terminal output of $LAST_RUN"

# --- A long copy ----------------------------------------------------------------

# One file of 3 MiB, newer on the left: 48 reads of 40 ms.
mkdir -p copy/L copy/R
head -c 3145728 /dev/zero | tr '\0' 'k' >copy/L/big.bin
touch -d @2000 copy/L/big.bin
make_file copy/R/big.bin 1000 "old"
cp -a copy copy2
COPYING='^Kopiere R/big\.bin: [0-9]+ von 3145728 Bytes \([0-9]+ %\)$'

# Standard output of the run with standard error in a pipe, which stays empty.
slow_with_pipe copy2 SLOW_COPY -y -c 30 L R
check_status 0 "$LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
cp "$OUT" "$HELPER_DIR/pipe.out"
cmp -s copy2/L/big.bin copy2/R/big.bin || fail "$LAST_RUN: the copy differs"

# Both streams on a terminal: the bytes show, and the line is gone before the
# next output; without the status lines the terminal shows standard output.
cd copy
slow_on_terminal 100 - SLOW_COPY -y -c 30 L R
cd ..
check_status 0 "$LAST_RUN"
check_status_lines "$COPYING" 99
check_same "$HELPER_DIR/pipe.out" "$HELPER_DIR/without-status" "stdout of $LAST_RUN"
cmp -s copy/L/big.bin copy/R/big.bin || fail "$LAST_RUN: the copy differs"
