# A source that changes while it is copied: rewritten in place, truncated,
# or replaced by rename, all within the second the copy began.  The copy is
# refused with status 2, the old target stays byte for byte, no temporary
# file is left, and the next run copies the file whole.  strace holds the
# copy back so that the change lands in its middle; the runs of all cases
# go at once, so that their delays overlap.
. "$(dirname "$0")/common.sh"
need_tool strace strace

CHANGED='Fehler beim Kopieren von "%s" nach "%s": Quelle wurde während des Kopierens geändert\n'
declare -A TRACER

# rewrite, shorten, replace: the changes, made in the source tree L.
rewrite() { printf 'NEW content, the same length' | dd of=L/f.txt conv=notrunc status=none; }
shorten() { truncate -s 3 L/f.txt; }
replace() { printf 'another file entirely' >L/other && mv L/other L/f.txt; }

# The cases: name, the change, and whether the copy is held before its
# first call copies (enter: the source ends early) or after it (exit).
CASES=("rewritten rewrite exit" "truncated shorten enter" "renamed replace exit")

for case in "${CASES[@]}"; do
  read -r name change when <<<"$case"
  make_file "$name/L/f.txt" "$(date +%s)" "old content, some bytes long"
  make_file "$name/R/f.txt" 1000 "the target before the copy"
  (cd "$name" && exec strace -o /dev/null -f -e trace=copy_file_range \
    -e inject=copy_file_range:delay_$when=1500000:when=1 \
    "$KALVERN" -y -c 30 L R </dev/null >out 2>err) &
  TRACER[$name]=$!
done
for case in "${CASES[@]}"; do
  read -r name change when <<<"$case"
  for i in $(seq 1 60); do
    compgen -G "$name/R/.kalvern-*" >/dev/null && break
    sleep 0.05
  done
  compgen -G "$name/R/.kalvern-*" >/dev/null || fail "$name: no temporary file seen"
  (cd "$name" && $change)
done
for case in "${CASES[@]}"; do
  read -r name change when <<<"$case"
  wait "${TRACER[$name]}" && STATUS=0 || STATUS=$?
  LAST_RUN="kalvern -y -c 30 L R, source $name during the copy"
  check_status 2 "$LAST_RUN"
  check_same "$(expected "$CHANGED" L/f.txt R/f.txt)" "$name/err" "stderr of $LAST_RUN"
  check_same "$(expected 'the target before the copy')" "$name/R/f.txt" "target of $LAST_RUN"
  [ "$(stat -c %Y "$name/R/f.txt")" = 1000 ] || fail "$LAST_RUN: target time changed"
  (cd "$name/R" && ls -A) >"$HELPER_DIR/names"
  check_same "$(expected 'f.txt\n')" "$HELPER_DIR/names" "files left by $LAST_RUN"
  # The next run copies the file as it is now.
  run_kalvern --cwd "$name" -- -y -c 30 L R
  check_status 0 "$LAST_RUN, after the source $name"
  cmp -s "$name/L/f.txt" "$name/R/f.txt" || fail "$name: the next run did not copy it whole"
done
