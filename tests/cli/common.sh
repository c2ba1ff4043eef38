# common.sh: set-up and helpers shared by the end-to-end tests of kalvern.
#
# Every test script starts with
#
#   . "$(dirname "$0")/common.sh"
#
# and then runs in a fresh scratch directory, $TEST_TMP, which is also the
# current directory.  The binary under test is named by $KALVERN (CTest sets
# it; by hand: KALVERN=/path/to/kalvern bash tests/cli/x.sh).  KEEP_TMP=1
# keeps the scratch directory for inspection.
#
# A script fails when a command fails (set -e; the ERR trap names the line)
# or when a check fails.  Checks print what differs and let the script go on,
# so that one run shows every difference; the exit status is then 1.
#
# Helpers, in short:
#   make_file PATH SECONDS [CONTENT]   a file with a fixed modification time
#   run_kalvern [OPTIONS] -- ARGS      run the binary, output in $OUT / $ERR
#   expect_run STATUS OUT ERR [OPTIONS] -- ARGS
#                                      run it and compare status and output
#   check_same EXPECTED ACTUAL LABEL   whole-file comparison with diff -u
#   check_status EXPECTED LABEL        compare $STATUS of the last run
#   on_terminal COLS INPUT [--nobody] -- ARGS
#                                      run it on a pseudo-terminal
#   listing_key FILE                   a listing with its lines in fixed order
#   fail MESSAGE                       record a failed check
#   need_tool TOOL PACKAGE             skip the script where TOOL is missing
#   summary TOTAL SAME DIFFERENT MISSING
#                                      the summary, as a printf format
#   print_summary TOTAL SAME DIFFERENT MISSING
#                                      the summary, printed as text
#   entry_line KIND PATH               one listing line at width 30
#   listed_entries FILE                the listing's entries, "KIND PATH"
#   check_listed EXPECTED LABEL        the listing at the top of $OUT
#   check_run STATUS OUT ERR           check status and output of the last run
#   check_identical_run DIR FILES      a further run on DIR finds nothing to do
#   snapshot DIR                       every object below DIR with its metadata
#   run_paused [--nobody] DIR CHANGE ANSWERS -- ARGS
#                                      run it, change the trees at the question

# The variables defined here are for the scripts that source this file.
# shellcheck disable=SC2034
set -eEu
export LC_ALL=C
# script(1) runs its command with $SHELL; the commands built here use bash's
# quoting ($'...' from printf %q), so that shell must be bash, whatever the
# caller's login shell is (CI runs with /bin/sh).
SHELL=$BASH
export SHELL

: "${KALVERN:?KALVERN must name the kalvern binary under test}"
# The version that -v must print, from the build (CMake's project version).
: "${KALVERN_VERSION:?KALVERN_VERSION must hold the version of the build}"
case $KALVERN in
  /*) ;;
  *) KALVERN=$PWD/$KALVERN ;;
esac
[ -x "$KALVERN" ] || { echo "not executable: $KALVERN" >&2; exit 1; }

# The directory of the test scripts, for sourcing sample_trees.sh and alike.
CLI_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

FAILED=0

TEST_TMP=$(mktemp -d "${TMPDIR:-/tmp}/kalvern-cli.XXXXXX")
# The unprivileged user of run_as_nobody must reach the trees in here.
chmod 0755 "$TEST_TMP"

cleanup() {
  local status=$?
  cd /
  if [ "${KEEP_TMP:-0}" = 1 ]; then
    echo "scratch directory kept: $TEST_TMP" >&2
  else
    # Tests take permissions away; give them back so that rm can go through.
    chmod -R u+rwX "$TEST_TMP" 2>/dev/null || true
    rm -rf "$TEST_TMP"
  fi
  if [ "$status" -eq 0 ] && [ "$FAILED" -ne 0 ]; then status=1; fi
  if [ "$FAILED" -ne 0 ]; then echo "$FAILED check(s) failed" >&2; fi
  exit "$status"
}
trap cleanup EXIT
trap 'echo "${BASH_SOURCE[0]}:$LINENO: command failed: $BASH_COMMAND" >&2' ERR

cd "$TEST_TMP"

# Private files of the helpers.
HELPER_DIR=$TEST_TMP/.helper
mkdir "$HELPER_DIR"
OUT=$HELPER_DIR/stdout
ERR=$HELPER_DIR/stderr
STATUS=0
# An empty file, for "no output expected".
EMPTY=$HELPER_DIR/empty
: >"$EMPTY"
# A one-line answer that declines the synchronisation.
ANSWER_NO=$HELPER_DIR/answer-no
printf 'n\n' >"$ANSWER_NO"

# need_tool TOOL PACKAGE: ends the script as skipped (status 77) where TOOL
# is not installed, naming the Debian package that brings it.
need_tool() {
  command -v "$1" >/dev/null && return 0
  echo "SKIP: $1 is missing (Debian package $2)" >&2
  exit 77
}

# fail MESSAGE: report a failed check; the script goes on and exits with 1.
fail() {
  echo "FAIL: $*" >&2
  FAILED=$((FAILED + 1))
}

# make_file PATH SECONDS [CONTENT]: creates the file (and its missing parent
# directories) with CONTENT (default: its own path and a newline) and sets its
# modification time to SECONDS since the epoch (may be negative or fractional).
make_file() {
  local path=$1 seconds=$2
  mkdir -p -- "$(dirname -- "$path")"
  if [ $# -ge 3 ]; then
    printf '%s' "$3" >"$path"
  else
    printf '%s\n' "$path" >"$path"
  fi
  touch -d "@$seconds" -- "$path"
}

# Prints a command line for messages.
describe() {
  local word text=kalvern
  for word in "$@"; do text+=" $(printf '%q' "$word")"; done
  printf '%s' "$text"
}

# The copy of the binary that the unprivileged user may run: the build tree
# may lie below directories that user cannot enter.
NOBODY_UID=65534
nobody_binary() {
  local dir=$TEST_TMP/.bin
  if [ ! -x "$dir/kalvern" ]; then
    mkdir -p "$dir"
    chmod 0755 "$dir"
    cp "$KALVERN" "$dir/kalvern"
    chmod 0755 "$dir/kalvern"
  fi
  printf '%s\n' "$dir/kalvern"
}

# as_nobody COMMAND...: runs COMMAND as an unprivileged user.  As root (CI)
# that is uid/gid 65534 without supplementary groups; any other user lacks
# the privilege to override permissions already and runs it as it stands.
as_nobody() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_UID" --clear-groups -- "$@"
  else
    "$@"
  fi
}

# run_kalvern [--stdin FILE] [--nobody] [--cwd DIR] -- ARGS...
# Runs the binary with ARGS; standard input comes from FILE (default
# /dev/null).  Standard output and standard error land in the files $OUT and
# $ERR, the exit status in $STATUS.  --nobody runs it as an unprivileged user,
# --cwd in DIR instead of the current directory.
run_kalvern() {
  local input=/dev/null nobody=0 cwd=. binary=$KALVERN
  while [ $# -gt 0 ]; do
    case $1 in
      --stdin) input=$2; shift 2 ;;
      --nobody) nobody=1; shift ;;
      --cwd) cwd=$2; shift 2 ;;
      --) shift; break ;;
      *) echo "run_kalvern: unknown option $1" >&2; return 2 ;;
    esac
  done
  if [ "$nobody" = 1 ]; then
    binary=$(nobody_binary)
    as_nobody env -C "$cwd" "$binary" "$@" <"$input" >"$OUT" 2>"$ERR" \
      && STATUS=0 || STATUS=$?
  else
    env -C "$cwd" "$binary" "$@" <"$input" >"$OUT" 2>"$ERR" \
      && STATUS=0 || STATUS=$?
  fi
  LAST_RUN=$(describe "$@")
}

# check_same EXPECTED_FILE ACTUAL_FILE LABEL: the two files must be equal byte
# for byte; otherwise the diff is shown and the check fails.
check_same() {
  if ! diff -u --label "expected $3" --label "actual $3" -- "$1" "$2" >&2; then
    fail "$3 differs"
  fi
}

# check_status EXPECTED LABEL: the exit status of the last run.
check_status() {
  if [ "$STATUS" != "$1" ]; then
    fail "$2: exit status $STATUS, expected $1"
  fi
}

# expect_run STATUS EXPECTED_STDOUT_FILE EXPECTED_STDERR_FILE [OPTIONS] -- ARGS
# Runs the binary as run_kalvern does (same OPTIONS) and checks the exit status
# and the whole of both output streams.  $EMPTY stands for no output.
expect_run() {
  local status=$1 out=$2 err=$3
  shift 3
  run_kalvern "$@"
  check_status "$status" "$LAST_RUN"
  check_same "$out" "$OUT" "stdout of $LAST_RUN"
  check_same "$err" "$ERR" "stderr of $LAST_RUN"
}

# expected TEXT...: writes the printf format TEXT (with its arguments) into a
# fresh file and prints the file's name.  For expected output:
#   expect_run 1 "$EMPTY" "$(expected 'Usage: ...\n\n')" -- a
# (The file name goes through $(...), the text itself never does.)
expected() {
  local file
  file=$(mktemp "$HELPER_DIR/expected.XXXXXX")
  # shellcheck disable=SC2059
  printf "$@" >"$file"
  printf '%s\n' "$file"
}

# on_terminal COLS INPUT -- ARGS...: runs the binary with standard output and
# standard error on a pseudo-terminal of COLS columns (util-linux script) and
# standard input from the file INPUT.  The terminal's output, both streams
# merged, lands in $OUT (no carriage returns added); the status in $STATUS.
# With --nobody after INPUT it runs as the unprivileged user of as_nobody.
on_terminal() {
  local cols=$1 input=$2 command word prefix="exec"
  shift 2
  if [ "$1" = --nobody ]; then
    shift
    if [ "$(id -u)" -eq 0 ]; then
      prefix="exec setpriv --reuid=$NOBODY_UID --regid=$NOBODY_UID --clear-groups --"
    fi
    command="stty cols $cols -onlcr && $prefix $(printf '%q' "$(nobody_binary)")"
  else
    command="stty cols $cols -onlcr && $prefix $(printf '%q' "$KALVERN")"
  fi
  [ "$1" = -- ] && shift
  for word in "$@"; do command+=" $(printf '%q' "$word")"; done
  command+=" <$(printf '%q' "$input")"
  script -qec "$command" /dev/null </dev/null >"$OUT" 2>"$ERR" \
    && STATUS=0 || STATUS=$?
  LAST_RUN="$(describe "$@") on a terminal of $cols columns"
  check_same "$EMPTY" "$ERR" "output of script(1) for $LAST_RUN"
}

# listing_key FILE: prints FILE with the lines of its listing (the block after
# the opening blank line) sorted, so that outputs can be compared whatever
# order the comparison produced.  Lines for files missing on the left
# ("--- fehlt ---  -  ...") stay behind all others, as the program puts them;
# one that stands before another kind of line is flagged so that a comparison
# fails (the marker must be whole: a width of 13 or more).  Everything outside
# the listing stays as it is.
listing_key() {
  awk '
    function flush(   i, cmd) {
      cmd = "sort"
      for (i = 1; i <= n_other; i++) print other[i] | cmd
      close(cmd)
      for (i = 1; i <= n_left; i++) print left[i] | cmd
      close(cmd)
      n_other = 0; n_left = 0
    }
    NR == 1 { print; if ($0 == "") state = 1; next }
    state == 1 {
      if ($0 == "" || $0 ~ /^Zusammenfassung/) { state = 2; print; next }
      state = 3
    }
    state == 3 {
      if ($0 == "") { flush(); state = 2; print; next }
      if ($0 ~ /^ *--- fehlt ---  -  /) {
        left[++n_left] = $0
      } else {
        if (n_left > 0) print "!!! listed after a file missing on the left: " $0
        other[++n_other] = $0
      }
      next
    }
    { print }
    END { if (state == 3) flush() }
  ' "$1"
}

# check_listing EXPECTED_FILE LABEL: compares $OUT with EXPECTED_FILE, both
# passed through listing_key.
check_listing() {
  listing_key "$1" >"$HELPER_DIR/listing.expected"
  listing_key "$OUT" >"$HELPER_DIR/listing.actual"
  check_same "$HELPER_DIR/listing.expected" "$HELPER_DIR/listing.actual" "$2"
}

# spaces N: prints N spaces.
spaces() {
  printf '%*s' "$1" ''
}

# Fixed texts of the program, written as printf formats for expected():
#   expected "$(summary 6 3 0 0)$IDENTICAL_MSG"
ASK_SYNC='\nMöchten Sie die Verzeichnisse abgleichen (j/n)? '
SAID_NO='\nAbgleich wurde auf Wunsch beendet.\n\n'
NO_INPUT='kalvern Fehler - keine Eingabe, Abgleich abgebrochen.\n'
IDENTICAL_MSG='\nDie Verzeichnisse sind vollkommen identisch!!!\n\n'
# The second question, about the files that only one tree holds.
ASK_MISSING='\nSollen die fehlenden Dateien (l)inks oder (r)echts gelöscht\noder alle (b)ehalten werden? '

# summary TOTAL SAME DIFFERENT MISSING: the two summary lines with the blank
# line before them, as a printf format.
summary() {
  printf '%s' "\nZusammenfassung für $1 Dateien:\n$2 Dateien sind gleich, $3 Dateien sind unterschiedlich und $4 Dateien fehlen.\n"
}

# print_summary TOTAL SAME DIFFERENT MISSING: the same lines as summary, but
# printed as text rather than as a printf format.
print_summary() {
  printf '%b' "$(summary "$@")"
}

# entry_line KIND PATH: one listing line at width 30 (ASCII paths only); KIND
# is newer-left, newer-right, only-left or only-right.
entry_line() {
  case $1 in
    newer-left) printf '%s%s  ->  %s\n' "$(spaces $((30 - ${#2})))" "$2" "$2" ;;
    newer-right) printf '%s%s  <-  %s\n' "$(spaces $((30 - ${#2})))" "$2" "$2" ;;
    only-left) printf '%s%s  -  --- fehlt ---\n' "$(spaces $((30 - ${#2})))" "$2" ;;
    only-right) printf '%s--- fehlt ---  -  %s\n' "$(spaces 17)" "$2" ;;
  esac
}

# listed_entries FILE: the entries of the listing at the top of FILE in the
# order listed, one "KIND PATH" line each (width 30, no path cut).
listed_entries() {
  awk '
    NR == 1 { next }
    $0 == "" { exit }
    /^ *--- fehlt ---  -  / { sub(/^ *--- fehlt ---  -  /, ""); print "only-right " $0; next }
    /  -  --- fehlt ---$/ { sub(/  -  --- fehlt ---$/, ""); sub(/^ +/, ""); print "only-left " $0; next }
    /  ->  / { sub(/^.*  ->  /, ""); print "newer-left " $0; next }
    /  <-  / { sub(/^.*  <-  /, ""); print "newer-right " $0; next }
    { print "unrecognised " $0 }
  ' "$1"
}

# check_listed EXPECTED LABEL: the listing and summary at the top of $OUT
# hold the lines of EXPECTED, in any order of the listing's entries.
check_listed() {
  sed -n "1,$(wc -l <"$1")p" "$OUT" >"$HELPER_DIR/listing"
  listing_key "$1" >"$HELPER_DIR/listing.expected"
  listing_key "$HELPER_DIR/listing" >"$HELPER_DIR/listing.actual"
  check_same "$HELPER_DIR/listing.expected" "$HELPER_DIR/listing.actual" "$2"
}

# check_run STATUS EXPECTED_OUT EXPECTED_ERR: checks the exit status and both
# output streams of the last run.
check_run() {
  check_status "$1" "$LAST_RUN"
  check_same "$2" "$OUT" "stdout of $LAST_RUN"
  check_same "$3" "$ERR" "stderr of $LAST_RUN"
}

# check_identical_run DIR FILES: a further run of -c 30 L R in DIR finds
# nothing to do; FILES is the number of files in each tree.
check_identical_run() {
  local exp
  exp=$(expected '')
  # shellcheck disable=SC2059
  { print_summary $(($2 * 2)) "$2" 0 0; printf "$IDENTICAL_MSG"; } >"$exp"
  expect_run 0 "$exp" "$EMPTY" --cwd "$1" -- -c 30 L R
}

# snapshot DIR: every object below DIR with its type, mode, size, time and
# link target.
snapshot() {
  (cd "$1" && find . -printf '%P %y %m %s %T@ %l\n' | sort)
}

# run_paused [--nobody] DIR CHANGE ANSWERS -- ARGS: runs the binary in DIR
# (as the unprivileged user with --nobody), waits until it asks its first
# question (the text $PAUSE_AT, if set), runs the command CHANGE (the trees
# have been scanned by then), and only then gives it ANSWERS on standard input.
run_paused() {
  local prefix=() binary=$KALVERN dir change input pid i
  if [ "$1" = --nobody ]; then
    binary=$(nobody_binary)
    if [ "$(id -u)" -eq 0 ]; then
      prefix=(setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_UID" --clear-groups --)
    fi
    shift
  fi
  dir=$1 change=$2 input=$3
  shift 3
  [ "$1" = -- ] && shift
  rm -f "$HELPER_DIR/fifo"
  mkfifo "$HELPER_DIR/fifo"
  "${prefix[@]}" env -C "$dir" "$binary" "$@" <"$HELPER_DIR/fifo" >"$OUT" 2>"$ERR" &
  pid=$!
  exec 3>"$HELPER_DIR/fifo"
  for i in $(seq 1 200); do
    grep -q "${PAUSE_AT:-abgleichen}" "$OUT" && break
    sleep 0.05
  done
  grep -q "${PAUSE_AT:-abgleichen}" "$OUT" || fail "$(describe "$@"): no question asked"
  $change
  # The program may have ended before it read every answer.
  # shellcheck disable=SC2059
  (printf "$input" >&3) 2>/dev/null || true
  exec 3>&-
  wait "$pid" && STATUS=0 || STATUS=$?
  LAST_RUN="$(describe "$@") after $change"
}

# wait_for_mount DIR: waits up to five seconds for a daemon to mount DIR;
# status 1 if it did not.
wait_for_mount() {
  local i
  for i in $(seq 1 100); do
    mountpoint -q "$1" && return 0
    sleep 0.05
  done
  return 1
}

# make_moved ROOT: 120 files in ROOT/d*/s*/f*, each holding its own path
# below ROOT, all of one time: a folder that a run may move rather than copy.
make_moved() {
  local d s f
  for d in $(seq 1 4); do
    for s in 1 2 3; do
      mkdir -p "$1/d$d/s$s"
      for f in $(seq 1 10); do printf 'd%s/s%s/f%s' "$d" "$s" "$f" >"$1/d$d/s$s/f$f"; done
    done
  done
  touch -d @1600000000 "$1"/d*/s*/f*
}

# check_told DIR WHAT: after a signal, each copy line "S -> T" of DIR/out
# with S in DIR is true (T holds the bytes of S), or it is told undone on
# DIR/err, T not holding them; DIR/err holds nothing else, its lines in the
# order of the copy lines.
check_told() {
  DIR=$1/ perl -MFile::Compare -ne '
    next unless index($_, $ENV{DIR}) == 0 && /^(.*) -> (.*)$/;
    print "Fehler beim Kopieren von \"$1\" nach \"$2\": Abgleich abgebrochen\n"
      if compare($1, $2) != 0;
  ' "$1/out" >"$HELPER_DIR/told"
  check_same "$HELPER_DIR/told" "$1/err" "$2: copies told undone"
}

# stop_moving DIR ANSWER DELAY: DIR/L/alt and DIR/R/neu hold one folder
# (make_moved) under two names; a run answering ANSWER (l or r), each of its
# renames and deletions held back a little, is stopped by SIGINT after DELAY
# seconds.  Every file gone from the tree it deletes in has its deletion
# line, every file in either tree holds its own bytes, every new one has its
# progress line, with r every copy stands once a deletion is reported, no
# temporary name and no directory made for nothing is left.
stop_moving() {
  local dir=$1 answer=$2 side gone new tracer pid file i
  rm -rf "$dir" && mkdir -p "$dir/L" "$dir/R"
  make_moved "$dir/L/alt" && cp -r --preserve=timestamps "$dir/L/alt" "$dir/R/neu"
  (cd "$dir/L/alt" && find . -type f -printf '%P\n' | sort) >"$HELPER_DIR/all"
  if [ "$answer" = l ]; then side=L gone=alt new=neu; else side=R gone=neu new=alt; fi
  printf '%s\n' "$answer" >"$HELPER_DIR/answer"
  strace -o /dev/null -f -e trace=renameat2,unlinkat \
    -e inject=renameat2:delay_enter=3000 -e inject=unlinkat:delay_enter=3000 \
    "$KALVERN" -y "$dir/L" "$dir/R" <"$HELPER_DIR/answer" >"$dir/out" 2>"$dir/err" &
  tracer=$!
  sleep "$3"
  for i in $(seq 1 50); do
    pid=$(pgrep -P "$tracer" -x kalvern || true)
    [ -n "$pid" ] && break
    kill -0 "$tracer" 2>/dev/null || break  # the run has ended already
    sleep 0.02
  done
  [ -n "$pid" ] && kill -INT "$pid" 2>/dev/null
  wait "$tracer" && STATUS=0 || STATUS=$?
  [ "$STATUS" = 130 ] || [ "$STATUS" = 0 ] || fail "$dir $answer: status $STATUS after SIGINT"
  check_told "$dir" "$dir $answer"
  [ -z "$(find "$dir" -name '.kalvern-*')" ] || fail "$dir $answer: temporary files left"
  [ -z "$(find "$dir/$side/$new" -type d -empty 2>/dev/null)" ] ||
    fail "$dir $answer: directories made for dropped copies left"
  (cd "$dir/$side/$gone" 2>/dev/null && find . -type f -printf '%P\n' | sort) |
    comm -23 "$HELPER_DIR/all" - >"$HELPER_DIR/gone"
  sed -n "s|^'$dir/$side/$gone/\(.*\)' wurde entfernt\$|\1|p" "$dir/out" | sort >"$HELPER_DIR/said"
  check_same "$HELPER_DIR/gone" "$HELPER_DIR/said" "$dir $answer: files deleted and reported"
  # Each file holds its path below its folder, checked in one pass.
  (cd "$dir" && find L R -type f -print0 | perl -0 -ne '
    chomp; my $want = s{^[^/]*/[^/]*/}{}r;
    my $got;
    if (open my $f, "<", $_) { local $/; $got = <$f> // "" }
    print "$_\n" unless defined $got && $got =~ s/\n+\z//r eq $want;
  ') >"$HELPER_DIR/other"
  while read -r file; do
    fail "$dir $answer: $file holds other bytes"
  done <"$HELPER_DIR/other"
  # With r every copy is in place before the first deletion.
  if [ "$answer" = r ] && grep -q "wurde entfernt\$" "$dir/out"; then
    (cd "$dir/R/alt" 2>/dev/null && find . -type f -printf '%P\n' | sort) >"$HELPER_DIR/copied"
    check_same "$HELPER_DIR/all" "$HELPER_DIR/copied" "$dir $answer: copies in place at the deletions"
  fi
  (cd "$dir/$side" && find . -path "./$gone" -prune -o -type f -printf '%P\n') |
    sort >"$HELPER_DIR/placed"
  sed -n "s|.* -> $dir/$side/||p" "$dir/out" | sort >"$HELPER_DIR/lines"
  while read -r file; do
    fail "$dir $answer: $file without progress line"
  done < <(comm -23 "$HELPER_DIR/placed" "$HELPER_DIR/lines")
}
