# The two questions before a synchronisation, answered through a pipe:
# which answers count as yes, no and l/r/b, the messages for empty and
# other answers, -y, and the end of standard input or a failed read at
# either question.
. "$(dirname "$0")/common.sh"

NOTHING_TYPED='Sie haben nichts eingegeben!\n'
ONLY_JN='Bitte nur (j)a oder (n)ein angeben!\n'
ONLY_LRB='Bitte nur l(inks), r(echts) oder b(ehalten) angeben!\n'

# run_in DIR INPUT [--nobody | --failing-read N] -- ARGS: runs the binary
# in DIR with standard input from INPUT, as run_kalvern does, but gives up
# after 20 seconds and keeps at most 1 MB of standard output, so that a
# dialog that loops on its questions fails the test instead of hanging it.
# With --failing-read, strace makes the Nth read of INPUT fail with EIO.
run_in() {
  local dir=$1 input=$2 binary=$KALVERN prefix=()
  shift 2
  if [ "$1" = --failing-read ]; then
    prefix=(strace -o /dev/null -P "$input" -e trace=read -e "inject=read:error=EIO:when=$2")
    shift 2
  fi
  if [ "$1" = --nobody ]; then
    binary=$(nobody_binary)
    if [ "$(id -u)" -eq 0 ]; then
      prefix=(setpriv --reuid="$NOBODY_UID" --regid="$NOBODY_UID" --clear-groups --)
    fi
    shift
  fi
  [ "$1" = -- ] && shift
  timeout 20 "${prefix[@]}" env -C "$dir" "$binary" "$@" <"$input" 2>"$ERR" |
    head -c 1000000 >"$OUT"
  STATUS=${PIPESTATUS[0]}
  LAST_RUN="$(describe "$@") in $dir"
}

# answers TEXT: a file holding the printf format TEXT, for standard input.
answers() {
  expected "$@"
}

# The listing of the one-entry pairs below.
listing_newer() { printf '\n'; entry_line newer-left f.txt; print_summary 2 0 1 0; }
listing_only_left() { printf '\n'; entry_line only-left x.txt; print_summary 1 0 0 1; }
listing_only_right() { printf '\n'; entry_line only-right y.txt; print_summary 1 0 0 1; }

# Trees of one case: DIR/L and DIR/R.
pair_newer() {
  make_file "$1/L/f.txt" 2000 "new"
  make_file "$1/R/f.txt" 1000 "old"
}
pair_only_left() {
  make_file "$1/L/x.txt" 1500 "left only"
  mkdir -p "$1/R"
}
pair_only_right() {
  mkdir -p "$1/L"
  make_file "$1/R/y.txt" 1600 "right only"
}
# One file newer on the left, then one that only the right tree holds: the
# listing puts the right-only file last, so the order is fixed.
pair_newer_and_missing() {
  pair_newer "$1"
  make_file "$1/R/y.txt" 1600 "right only"
}

# check_updated DIR: the update of pair_newer has been done.
check_updated() {
  printf 'new' >"$HELPER_DIR/content"
  check_same "$HELPER_DIR/content" "$1/R/f.txt" "R/f.txt in $1"
  [ "$(stat -c %Y "$1/R/f.txt")" = 2000 ] || fail "R/f.txt in $1 has not the source's time"
}

# check_untouched DIR: the trees look as the snapshot DIR.before says.
check_untouched() {
  snapshot "$1" >"$HELPER_DIR/after"
  check_same "$1.before" "$HELPER_DIR/after" "trees in $1"
}

# --- First question: yes -------------------------------------------------

for answer in j J ja jein; do
  dir=$TEST_TMP/yes-$answer
  pair_newer "$dir"
  run_in "$dir" "$(answers '%s\n' "$answer")" -- -c 30 L R
  exp=$(expected '')
  { listing_newer; printf "$ASK_SYNC"; printf 'L/f.txt -> R/f.txt\n\n'; } >"$exp"
  check_run 0 "$exp" "$EMPTY"
  check_updated "$dir"
done

# Later lines after the yes are not read as answers.
dir=$TEST_TMP/yes-extra
pair_newer "$dir"
run_in "$dir" "$(answers 'j\nn\nx\n')" -- -c 30 L R
exp=$(expected '')
{ listing_newer; printf "$ASK_SYNC"; printf 'L/f.txt -> R/f.txt\n\n'; } >"$exp"
check_run 0 "$exp" "$EMPTY"
check_updated "$dir"

# --- First question: no ---------------------------------------------------

# Declining changes nothing, also when files are missing on both sides; the
# second question is not asked.
for answer in n N nein; do
  dir=$TEST_TMP/no-$answer
  make_file "$dir/L/f.txt" 2000 "new left"
  make_file "$dir/R/f.txt" 1000 "old right"
  make_file "$dir/L/g.txt" 1000 "old left"
  make_file "$dir/R/g.txt" 2000 "new right"
  make_file "$dir/L/only/left.txt" 1000
  make_file "$dir/R/only/right.txt" 1000
  make_file "$dir/L/same.txt" 1234
  make_file "$dir/R/same.txt" 1234
  snapshot "$dir" >"$dir.before"
  run_in "$dir" "$(answers '%s\n' "$answer")" -- -c 30 L R
  exp=$(expected '')
  {
    printf '\n'
    entry_line newer-left f.txt
    entry_line newer-right g.txt
    entry_line only-left only/left.txt
    entry_line only-right only/right.txt
    print_summary 8 1 2 2
    printf "$ASK_SYNC"
    printf "$SAID_NO"
  } >"$exp"
  check_status 0 "$LAST_RUN"
  check_listing "$exp" "stdout of $LAST_RUN"
  check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
  check_untouched "$dir"
done

# --- First question: answers that are not taken -----------------------------

# An empty line has its own message; a line that begins with a blank is
# judged by that blank.  Each time the question is asked again.
dir=$TEST_TMP/retry-first
pair_newer "$dir"
run_in "$dir" "$(answers '\n j\nx\n\tn\nJa\n')" -- -c 30 L R
exp=$(expected '')
{
  listing_newer
  printf "$ASK_SYNC"; printf "$NOTHING_TYPED"
  printf "$ASK_SYNC"; printf "$ONLY_JN"
  printf "$ASK_SYNC"; printf "$ONLY_JN"
  printf "$ASK_SYNC"; printf "$ONLY_JN"
  printf "$ASK_SYNC"; printf 'L/f.txt -> R/f.txt\n\n'
} >"$exp"
check_run 0 "$exp" "$EMPTY"
check_updated "$dir"

# A retried question still accepts no.
dir=$TEST_TMP/retry-then-no
pair_newer "$dir"
snapshot "$dir" >"$dir.before"
exp=$(expected '')
{
  listing_newer
  printf "$ASK_SYNC"; printf "$NOTHING_TYPED"
  printf "$ASK_SYNC"; printf "$ONLY_JN"
  printf "$ASK_SYNC"; printf "$SAID_NO"
} >"$exp"
run_in "$dir" "$(answers '\n n\nn\n')" -- -c 30 L R
check_run 0 "$exp" "$EMPTY"
check_untouched "$dir"

# --- Second question ---------------------------------------------------------

# Only one-sided files: the first question is still asked.  Upper-case
# letters act like lower-case ones, and the rest of the line does not count.
dir=$TEST_TMP/upper-L
pair_only_left "$dir"
run_in "$dir" "$(answers 'j\nL\n')" -- -c 30 L R
exp=$(expected '')
{ listing_only_left; printf "$ASK_SYNC$ASK_MISSING\n"; printf "'L/x.txt' wurde entfernt\n\n"; } >"$exp"
check_run 0 "$exp" "$EMPTY"
[ ! -e "$dir/L/x.txt" ] || fail "answer L: L/x.txt is still there"
[ -d "$dir/L" ] || fail "answer L: the root L is gone"

dir=$TEST_TMP/upper-R
pair_only_left "$dir"
run_in "$dir" "$(answers 'j\nRechts\n')" -- -c 30 L R
exp=$(expected '')
{ listing_only_left; printf "$ASK_SYNC$ASK_MISSING\n"; printf 'L/x.txt -> R/x.txt\n\n'; } >"$exp"
check_run 0 "$exp" "$EMPTY"
check_same "$dir/L/x.txt" "$dir/R/x.txt" "answer R: R/x.txt"
[ "$(stat -c %Y "$dir/R/x.txt")" = 1500 ] || fail "answer R: R/x.txt has not the source's time"

dir=$TEST_TMP/upper-B
pair_only_right "$dir"
run_in "$dir" "$(answers 'j\nB\n')" -- -c 30 L R
exp=$(expected '')
{ listing_only_right; printf "$ASK_SYNC$ASK_MISSING\n"; printf 'R/y.txt -> L/y.txt\n\n'; } >"$exp"
check_run 0 "$exp" "$EMPTY"
check_same "$dir/R/y.txt" "$dir/L/y.txt" "answer B: L/y.txt"
[ -e "$dir/R/y.txt" ] || fail "answer B: R/y.txt is gone"

# Empty, blank-led and other answers are asked again, each with its message.
dir=$TEST_TMP/retry-second
pair_only_right "$dir"
run_in "$dir" "$(answers 'j\n\n b\nj\nn\n\tl\nb\n')" -- -c 30 L R
exp=$(expected '')
{
  listing_only_right
  printf "$ASK_SYNC"
  printf "$ASK_MISSING"; printf "$NOTHING_TYPED"
  printf "$ASK_MISSING"; printf "$ONLY_LRB"
  printf "$ASK_MISSING"; printf "$ONLY_LRB"
  printf "$ASK_MISSING"; printf "$ONLY_LRB"
  printf "$ASK_MISSING"; printf "$ONLY_LRB"
  printf "$ASK_MISSING\n"; printf 'R/y.txt -> L/y.txt\n\n'
} >"$exp"
check_run 0 "$exp" "$EMPTY"
check_same "$dir/R/y.txt" "$dir/L/y.txt" "after retries: L/y.txt"

# --- -y ----------------------------------------------------------------------

# Only differing files: no question at all, and nothing is read.
dir=$TEST_TMP/auto-newer
pair_newer "$dir"
run_in "$dir" "$EMPTY" -- -y -c 30 L R
exp=$(expected '')
{ listing_newer; printf 'L/f.txt -> R/f.txt\n\n'; } >"$exp"
check_run 0 "$exp" "$EMPTY"
check_updated "$dir"

# With files missing, the second question is asked all the same.
dir=$TEST_TMP/auto-missing
pair_only_right "$dir"
run_in "$dir" "$(answers 'b\n')" -- -c 30 L R -y
exp=$(expected '')
{ listing_only_right; printf "$ASK_MISSING\n"; printf 'R/y.txt -> L/y.txt\n\n'; } >"$exp"
check_run 0 "$exp" "$EMPTY"
check_same "$dir/R/y.txt" "$dir/L/y.txt" "-y and b: L/y.txt"

# Both: the update comes first, then the question about the one-sided file.
dir=$TEST_TMP/auto-both
pair_newer_and_missing "$dir"
run_in "$dir" "$(answers 'r\n')" -- -y -c 30 L R
exp=$(expected '')
{
  printf '\n'; entry_line newer-left f.txt; entry_line only-right y.txt
  print_summary 3 0 1 1
  printf 'L/f.txt -> R/f.txt\n'
  printf "$ASK_MISSING\n"; printf "'R/y.txt' wurde entfernt\n\n"
} >"$exp"
check_run 0 "$exp" "$EMPTY"
check_updated "$dir"
[ ! -e "$dir/R/y.txt" ] || fail "-y and r: R/y.txt is still there"

# --- End of standard input ---------------------------------------------------

UNREADABLE='kalvern Fehler - Eingabe nicht lesbar (%s), Abgleich abgebrochen.\n'

# At the first question: the run ends at once, declined, with status 0.  A
# read that fails (a directory on standard input) ends it with status 1.
# Nothing has changed either way.
for case in eof unreadable; do
  dir=$TEST_TMP/$case-first
  pair_newer_and_missing "$dir"
  snapshot "$dir" >"$dir.before"
  if [ "$case" = eof ]; then
    input=$EMPTY status=0 err=$(expected "$NO_INPUT")
  else
    input=$dir status=1 err=$(expected "$UNREADABLE" 'Is a directory')
  fi
  run_in "$dir" "$input" -- -c 30 L R
  exp=$(expected '')
  {
    printf '\n'; entry_line newer-left f.txt; entry_line only-right y.txt
    print_summary 3 0 1 1
    printf "$ASK_SYNC\n"
  } >"$exp"
  check_run "$status" "$exp" "$err"
  check_untouched "$dir"
done

# The same after answers that were not taken.
dir=$TEST_TMP/eof-first-retry
pair_newer "$dir"
snapshot "$dir" >"$dir.before"
run_in "$dir" "$(answers 'x\n\n')" -- -c 30 L R
exp=$(expected '')
{
  listing_newer
  printf "$ASK_SYNC"; printf "$ONLY_JN"
  printf "$ASK_SYNC"; printf "$NOTHING_TYPED"
  printf "$ASK_SYNC\n"
} >"$exp"
check_run 0 "$exp" "$(expected "$NO_INPUT")"
check_untouched "$dir"

# At the second question: the update has been done, the one-sided file is
# left as it is.  The end of input gives status 0; a read that fails (that
# of the first byte of the second answer) status 2.
for case in eof unreadable; do
  dir=$TEST_TMP/$case-second
  pair_newer_and_missing "$dir"
  if [ "$case" = eof ]; then
    input=$(answers 'j\n') status=0 err=$(expected "$NO_INPUT") failing=()
  else
    command -v strace >/dev/null || continue
    input=$(answers 'j\nb\n') status=2 failing=(--failing-read 3)
    err=$(expected "$UNREADABLE" 'Input/output error')
  fi
  run_in "$dir" "$input" "${failing[@]}" -- -c 30 L R
  exp=$(expected '')
  {
    printf '\n'; entry_line newer-left f.txt; entry_line only-right y.txt
    print_summary 3 0 1 1
    printf "$ASK_SYNC"; printf 'L/f.txt -> R/f.txt\n'; printf "$ASK_MISSING\n"
  } >"$exp"
  check_run "$status" "$exp" "$err"
  check_updated "$dir"
  [ -e "$dir/R/y.txt" ] || fail "$case at the second question: R/y.txt is gone"
  [ ! -e "$dir/L/y.txt" ] || fail "$case at the second question: L/y.txt was copied"
done

# With -y, after an answer that was not taken.
dir=$TEST_TMP/eof-second-auto
pair_only_right "$dir"
snapshot "$dir" >"$dir.before"
run_in "$dir" "$(answers 'q\n')" -- -y -c 30 L R
exp=$(expected '')
{ listing_only_right; printf "$ASK_MISSING"; printf "$ONLY_LRB"; printf "$ASK_MISSING\n"; } >"$exp"
check_run 0 "$exp" "$(expected "$NO_INPUT")"
check_untouched "$dir"

# A file operation that failed before the end of input still gives status 2:
# the unprivileged user may not replace the read-only target.
dir=$TEST_TMP/eof-after-failure
pair_newer_and_missing "$dir"
chmod 0444 "$dir/R/f.txt"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
run_in "$dir" "$(answers 'j\n')" --nobody -- -c 30 L R
exp=$(expected '')
{
  printf '\n'; entry_line newer-left f.txt; entry_line only-right y.txt
  print_summary 3 0 1 1
  printf "$ASK_SYNC"; printf 'L/f.txt -> R/f.txt\n'; printf "$ASK_MISSING\n"
} >"$exp"
check_run 2 "$exp" \
  "$(expected "Fehler beim Kopieren von \"L/f.txt\" nach \"R/f.txt\": Permission denied\n$NO_INPUT")"
printf 'old' >"$HELPER_DIR/content"
check_same "$HELPER_DIR/content" "$dir/R/f.txt" "read-only R/f.txt"
