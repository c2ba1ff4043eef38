# Two runs at once on the same trees.  The first is held at its second
# question, after its updates, while it holds the locks on both roots; a
# second run that would synchronise is refused with status 2 and changes
# nothing, while one that only lists goes through.  Afterwards the trees are
# those of the first run alone.  Where the file system refuses the lock
# (strace makes flock fail), the run synchronises without it.
. "$(dirname "$0")/common.sh"

BUSY='kalvern Fehler - Verzeichnis %s wird gerade von einem anderen Abgleich bearbeitet, Abgleich abgebrochen.\n\n'
FIRST=$HELPER_DIR/first

# start_first DIR -- ARGS: starts the binary in DIR in the background with
# its answers to come through a pipe, answers j and waits until it asks the
# second question; it holds its locks from there on.
start_first() {
  local dir=$1 i
  shift 2
  rm -f "$HELPER_DIR/fifo"
  mkfifo "$HELPER_DIR/fifo"
  env -C "$dir" "$KALVERN" "$@" <"$HELPER_DIR/fifo" >"$FIRST.out" 2>"$FIRST.err" &
  FIRST_PID=$!
  exec 3>"$HELPER_DIR/fifo"
  printf 'j\n' >&3
  for i in $(seq 1 200); do
    grep -q 'fehlenden Dateien' "$FIRST.out" && return 0
    sleep 0.05
  done
  fail "$(describe "$@"): the second question was never asked"
}

# finish_first ANSWER: gives the first run its second answer and waits for
# its end; its status in $FIRST_STATUS.
finish_first() {
  printf '%s\n' "$1" >&3
  exec 3>&-
  wait "$FIRST_PID" && FIRST_STATUS=0 || FIRST_STATUS=$?
}

make_file L/upd.txt 1700000000 "new"
make_file R/upd.txt 1600000000 "old"
make_file L/left.txt 1700000001
make_file R/right.txt 1700000002
start_first . -- -c 30 L R

# listing FIRST SECOND: the listing of the trees FIRST and SECOND while the
# first run waits: its update is made, the one-sided files are not.
listing() {
  printf '\n'
  entry_line only-left "$([ "$1" = L ] && echo left.txt || echo right.txt)"
  entry_line only-right "$([ "$1" = L ] && echo right.txt || echo left.txt)"
  print_summary 4 1 0 2
}

# Synchronising the same trees, in either order of the roots.
printf 'b\n' >"$HELPER_DIR/answers"
for roots in "L R" "R L"; do
  read -r first second <<<"$roots"
  run_kalvern --stdin "$HELPER_DIR/answers" -- -y -c 30 "$first" "$second"
  check_status 2 "$LAST_RUN while another run synchronises"
  listing "$first" "$second" >"$HELPER_DIR/expected"
  check_listing "$HELPER_DIR/expected" "stdout of $LAST_RUN"
  check_same "$(expected "$BUSY" "$first")" "$ERR" "stderr of $LAST_RUN"
done

# Only listing is never refused.
run_kalvern --stdin "$ANSWER_NO" -- -c 30 L R
check_status 0 "$LAST_RUN while another run synchronises"
# shellcheck disable=SC2059
{ listing L R; printf "$ASK_SYNC$SAID_NO"; } >"$HELPER_DIR/expected"
check_listing "$HELPER_DIR/expected" "stdout of $LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"

finish_first b
[ "$FIRST_STATUS" = 0 ] || fail "first run: exit status $FIRST_STATUS"
check_same "$EMPTY" "$FIRST.err" "stderr of the first run"
check_identical_run . 3
check_same "$(expected new)" R/upd.txt "the update of the first run"

# Once the first run has ended, its trees are free again.
make_file L/later.txt 1700000003
printf 'j\nb\n' >"$HELPER_DIR/answers"
run_kalvern --stdin "$HELPER_DIR/answers" -- -c 30 L R
check_status 0 "$LAST_RUN after the first run ended"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"

# A file system that refuses the lock is synchronised without it.
if command -v strace >/dev/null; then
  make_file L/unlocked.txt 1700000004
  strace -o /dev/null -e trace=flock -e inject=flock:error=ENOLCK \
    "$KALVERN" -c 30 L R <"$HELPER_DIR/answers" >"$OUT" 2>"$ERR" && STATUS=0 || STATUS=$?
  check_status 0 "kalvern -c 30 L R with locks refused"
  check_same "$EMPTY" "$ERR" "stderr of kalvern -c 30 L R with locks refused"
  [ -f R/unlocked.txt ] || fail "with locks refused, nothing was copied"
fi
