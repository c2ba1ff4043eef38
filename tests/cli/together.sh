# Two runs at once on the same trees.  The first (-y, answer b) is held at
# its second question, after its update, while it holds the locks on both
# roots: a second run that would synchronise (answer r) is refused with
# status 2, one that only lists goes through, and the trees afterwards are
# those of the first run alone.  Where the file system refuses the lock
# (strace makes flock fail), the run synchronises without it.
. "$(dirname "$0")/common.sh"
need_tool strace strace

make_file L/upd.txt 1700000000 "new"
make_file R/upd.txt 1600000000 "old"
make_file L/left.txt 1700000001
make_file R/right.txt 1700000002
printf 'r\n' >"$HELPER_DIR/answer-r"

# meanwhile: the runs started while the first one waits; their output goes
# to files of their own.
meanwhile() {
  local status
  "$KALVERN" -y -c 30 R L <"$HELPER_DIR/answer-r" >/dev/null 2>"$HELPER_DIR/err" && status=0 || status=$?
  [ "$status" = 2 ] || fail "second synchronisation: exit status $status, expected 2"
  check_same "$(expected 'kalvern Fehler - Verzeichnis R wird gerade von einem anderen Abgleich bearbeitet, Abgleich abgebrochen.\n\n')" \
    "$HELPER_DIR/err" "stderr of the second synchronisation"
  "$KALVERN" -c 30 L R <"$ANSWER_NO" >"$HELPER_DIR/out" 2>"$HELPER_DIR/err" && status=0 || status=$?
  [ "$status" = 0 ] || fail "a run that only lists: exit status $status"
  check_same "$EMPTY" "$HELPER_DIR/err" "stderr of a run that only lists"
  tail -n 3 "$HELPER_DIR/out" >"$HELPER_DIR/tail"
  check_same "$(expected "${ASK_SYNC#\\n}$SAID_NO")" "$HELPER_DIR/tail" "end of a run that only lists"
}
PAUSE_AT=fehlenden run_paused . meanwhile 'b\n' -- -y -c 30 L R
check_status 0 "$LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
check_identical_run . 3
check_same "$(expected new)" R/upd.txt "the update of the first run"

make_file L/unlocked.txt 1700000004
strace -o /dev/null -e trace=flock -e inject=flock:error=ENOLCK \
  "$KALVERN" -c 30 L R <"$(expected 'j\nb\n')" >"$OUT" 2>"$ERR" && STATUS=0 || STATUS=$?
check_status 0 "kalvern -c 30 L R with the lock refused"
check_same "$EMPTY" "$ERR" "stderr of kalvern -c 30 L R with the lock refused"
[ -f R/unlocked.txt ] || fail "with the lock refused, nothing was copied"
