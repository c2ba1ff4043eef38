# An interrupted copy: SIGINT, SIGTERM or SIGHUP while a file is being
# copied removes the temporary file, leaves the old target as it was and ends
# the run with 128 + the signal's number.  strace holds the copy back for a few seconds so
# that the signal reliably arrives in the middle of it.
. "$(dirname "$0")/common.sh"

if ! command -v strace >/dev/null; then
  echo "strace is needed for this test" >&2
  exit 1
fi

# interrupt SIGNAL STATUS: one run, stopped by SIGNAL during its only copy.
interrupt() {
  local signal=$1 status=$2 dir=$TEST_TMP/$1 pid i
  make_file "$dir/L/photo.jpg" 2000 "new picture"
  make_file "$dir/R/photo.jpg" 1000 "old picture"
  strace -o /dev/null -f -e trace=copy_file_range,write \
    -e inject=copy_file_range:delay_enter=3000000 \
    "$KALVERN" -y "$dir/L" "$dir/R" </dev/null >"$dir/out" 2>"$dir/err" &
  local tracer=$!
  # Wait until the temporary file exists, then find the program itself.
  for i in $(seq 1 100); do
    compgen -G "$dir/R/.kalvern-*" >/dev/null && break
    sleep 0.05
  done
  compgen -G "$dir/R/.kalvern-*" >/dev/null || fail "$signal: no temporary file seen"
  pid=$(pgrep -P "$tracer" -x kalvern || true)
  [ -n "$pid" ] || { fail "$signal: program not found"; wait "$tracer" || true; return; }
  kill -s "$signal" "$pid"
  wait "$tracer" && STATUS=0 || STATUS=$?
  check_status "$status" "kalvern -y interrupted by $signal"
  printf '%s -> %s\n' "$dir/L/photo.jpg" "$dir/R/photo.jpg" \
    >"$HELPER_DIR/progress"
  tail -n 1 "$dir/out" >"$HELPER_DIR/last"
  check_same "$HELPER_DIR/progress" "$HELPER_DIR/last" "last line before $signal"
  printf 'old picture' >"$HELPER_DIR/old"
  check_same "$HELPER_DIR/old" "$dir/R/photo.jpg" "target after $signal"
  [ "$(stat -c %Y "$dir/R/photo.jpg")" = 1000 ] || fail "$signal: target time changed"
  (cd "$dir/R" && ls -A) >"$HELPER_DIR/names"
  printf 'photo.jpg\n' >"$HELPER_DIR/expected-names"
  check_same "$HELPER_DIR/expected-names" "$HELPER_DIR/names" "files left after $signal"
}

interrupt TERM 143
interrupt INT 130
interrupt HUP 129

# A signal while the second copy of a batch is written removes the finished
# temporary file of the first as well; neither target changes.
dir=$TEST_TMP/batch
make_file "$dir/L/a/first.txt" 2000 "new first"
make_file "$dir/R/a/first.txt" 1000 "old first"
make_file "$dir/L/b/second.txt" 2000 "new second"
make_file "$dir/R/b/second.txt" 1000 "old second"
strace -o /dev/null -f -e trace=copy_file_range \
  -e inject=copy_file_range:delay_enter=3000000:when=2 \
  "$KALVERN" -y "$dir/L" "$dir/R" </dev/null >"$dir/out" 2>"$dir/err" &
tracer=$!
for i in $(seq 1 100); do
  [ "$(find "$dir/R" -name '.kalvern-*' | wc -l)" -eq 2 ] && break
  sleep 0.05
done
[ "$(find "$dir/R" -name '.kalvern-*' | wc -l)" -eq 2 ] || fail "batch: no two temporary files seen"
pid=$(pgrep -P "$tracer" -x kalvern || true)
if [ -n "$pid" ]; then
  kill -s TERM "$pid"
  wait "$tracer" && STATUS=0 || STATUS=$?
  check_status 143 "kalvern -y interrupted during a batch"
else
  fail "batch: program not found"
  wait "$tracer" || true
fi
(cd "$dir/R" && find . -mindepth 1 -printf '%P\n' | sort) >"$HELPER_DIR/names"
printf 'a\na/first.txt\nb\nb/second.txt\n' >"$HELPER_DIR/expected-names"
check_same "$HELPER_DIR/expected-names" "$HELPER_DIR/names" "files left after an interrupted batch"
printf 'old first' >"$HELPER_DIR/old"
check_same "$HELPER_DIR/old" "$dir/R/a/first.txt" "first target after an interrupted batch"
printf 'old second' >"$HELPER_DIR/old"
check_same "$HELPER_DIR/old" "$dir/R/b/second.txt" "second target after an interrupted batch"
