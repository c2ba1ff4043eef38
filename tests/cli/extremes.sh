# Files and outputs at the limits, on the local disk: a sparse file stays
# sparse, a tree deeper than a path may be synchronises completely, and an
# unwritable standard output is an error, before anything changes or after
# the work is done.
. "$(dirname "$0")/common.sh"

OUTPUT_ERROR='kalvern Fehler - Ausgabe nicht möglich (%s).\n\n'

# --- A sparse file keeps its holes -------------------------------------------

dir=$TEST_TMP/sparse
mkdir -p "$dir/L" "$dir/R"
truncate -s 64M "$dir/L/sparse.img"
printf 'data in the middle' | dd of="$dir/L/sparse.img" bs=4096 seek=1000 \
  conv=notrunc status=none
printf 'data at the end' | dd of="$dir/L/sparse.img" bs=1 \
  seek=$((64 * 1024 * 1024 - 15)) conv=notrunc status=none
touch -d @1700000000 "$dir/L/sparse.img"
truncate -s 64M "$dir/L/hole-only.img"
touch -d @1700000000 "$dir/L/hole-only.img"
blocks=$(stat -c %b "$dir/L/sparse.img")
printf 'j\nb\n' >"$HELPER_DIR/answers"
run_kalvern --stdin "$HELPER_DIR/answers" --cwd "$dir" -- -c 30 L R
check_status 0 "$LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
for name in sparse.img hole-only.img; do
  cmp -s "$dir/L/$name" "$dir/R/$name" || fail "$name: content differs"
  [ "$(stat -c %s "$dir/R/$name")" = 67108864 ] || fail "$name: size differs"
  [ "$(stat -c %Y "$dir/R/$name")" = 1700000000 ] || fail "$name: time differs"
done
# The copy may take a few blocks more than the source, never the 64 MiB.
[ "$(stat -c %b "$dir/R/sparse.img")" -le $((blocks + 64)) ] ||
  fail "sparse.img: $(stat -c %b "$dir/R/sparse.img") blocks, source $blocks"
[ "$(stat -c %b "$dir/R/hole-only.img")" -le 64 ] ||
  fail "hole-only.img: $(stat -c %b "$dir/R/hole-only.img") blocks"

# --- A tree deeper than a path may be ----------------------------------------

# 25 directories of 200-byte names: over 5000 bytes of relative path.
DEEP=()
for i in $(seq 1 25); do DEEP+=("$(printf 'd%02d%0197d' "$i" 0)"); done

# in_deep DIR COMMAND...: runs COMMAND in the deepest directory below DIR,
# making the directories that are missing.
in_deep() {
  local dir=$1 component
  shift
  (
    cd "$dir"
    for component in "${DEEP[@]}"; do mkdir -p "$component" && cd "$component"; done
    "$@"
  )
}

# deep_file NAME SECONDS CONTENT: a file made in the current directory.
deep_file() {
  printf '%s' "$3" >"$1"
  touch -d "@$2" "$1"
}

dir=$TEST_TMP/deep
mkdir -p "$dir/L" "$dir/R"
in_deep "$dir/L" deep_file upd.txt 1700000001 "newer"
in_deep "$dir/R" deep_file upd.txt 1600000000 "older"
in_deep "$dir/L/" mkdir -p sub
in_deep "$dir/L" deep_file sub/one.txt 1700000003 "only left"
in_deep "$dir/R" mkdir -p gone/away
in_deep "$dir/R" deep_file gone/away/only.txt 1700000005 "only right"
printf 'j\nr\n' >"$HELPER_DIR/answers"
run_kalvern --stdin "$HELPER_DIR/answers" --cwd "$dir" -- -c 30 L R
check_status 0 "deep tree: $LAST_RUN"
check_same "$EMPTY" "$ERR" "deep tree: stderr of $LAST_RUN"
[ "$(in_deep "$dir/R" cat upd.txt)" = newer ] || fail "deep tree: not updated"
[ "$(in_deep "$dir/R" stat -c %Y upd.txt)" = 1700000001 ] ||
  fail "deep tree: update has the wrong time"
[ "$(in_deep "$dir/R" cat sub/one.txt)" = "only left" ] ||
  fail "deep tree: one-sided file not copied"
[ "$(in_deep "$dir/R" stat -c %Y sub/one.txt)" = 1700000003 ] ||
  fail "deep tree: copy has the wrong time"
in_deep "$dir/R" test ! -e gone || fail "deep tree: deleted file not pruned"
grep -q "away\" wurde entfernt" "$OUT" || fail "deep tree: no pruning reported"
exp=$(expected '')
# shellcheck disable=SC2059
{ print_summary 4 2 0 0; printf "$IDENTICAL_MSG"; } >"$exp"
expect_run 0 "$exp" "$EMPTY" --cwd "$dir" -- -c 30 L R

# --- Standard output on a full disk before anything changes ------------------

dir=$TEST_TMP/full
make_file "$dir/L/a.txt" 1700000000 "newer"
make_file "$dir/R/a.txt" 1600000000 "older"
make_file "$dir/L/only.txt" 1700000000 "only left"
before=$(snapshot "$dir")
for answers in "j\nb\n" ""; do
  printf "$answers" >"$HELPER_DIR/answers"
  env -C "$dir" "$KALVERN" -c 30 L R <"$HELPER_DIR/answers" >/dev/full \
    2>"$ERR" && STATUS=0 || STATUS=$?
  LAST_RUN="kalvern -c 30 L R >/dev/full"
  check_status 1 "$LAST_RUN"
  check_same "$(expected "$OUTPUT_ERROR" 'No space left on device')" "$ERR" \
    "stderr of $LAST_RUN"
  [ "$(snapshot "$dir")" = "$before" ] || fail "$LAST_RUN changed the trees"
done

# A pipe whose reader has gone: the run is not killed, it ends with status 1.
mkfifo "$HELPER_DIR/pipe"
(exec 5<"$HELPER_DIR/pipe") &
exec 3>"$HELPER_DIR/pipe"
wait $!
printf 'j\nb\n' >"$HELPER_DIR/answers"
env -C "$dir" "$KALVERN" -c 30 L R <"$HELPER_DIR/answers" >&3 2>"$ERR" &&
  STATUS=0 || STATUS=$?
exec 3>&-
LAST_RUN="kalvern -c 30 L R >pipe without reader"
check_status 1 "$LAST_RUN"
check_same "$(expected "$OUTPUT_ERROR" 'Broken pipe')" "$ERR" \
  "stderr of $LAST_RUN"
[ "$(snapshot "$dir")" = "$before" ] || fail "$LAST_RUN changed the trees"

# --- Standard output running full during the synchronisation -----------------

# A file system of one page holds the listing, not the progress lines: the
# work is done all the same, the failure reported once, the status is 2.
dir=$TEST_TMP/fills
mkdir -p "$dir/out"
if mount -t tmpfs -o size=4k tmpfs "$dir/out" 2>/dev/null; then
  trap 'umount "$dir/out" 2>/dev/null || true; cleanup' EXIT
  long=$(printf 'f%0150d' 0)
  for i in $(seq 10 39); do
    make_file "$dir/L/$i$long" 1700000000 "newer"
    make_file "$dir/R/$i$long" 1600000000 "older"
  done
  env -C "$dir" "$KALVERN" -y -c 30 L R >"$dir/out/stdout" 2>"$ERR" \
    </dev/null && STATUS=0 || STATUS=$?
  LAST_RUN="kalvern -y -c 30 L R >tmpfs of 4 KiB"
  check_status 2 "$LAST_RUN"
  check_same "$(expected "$OUTPUT_ERROR" 'No space left on device')" "$ERR" \
    "stderr of $LAST_RUN"
  grep -q Zusammenfassung "$dir/out/stdout" || fail "$LAST_RUN: no listing"
  umount "$dir/out"
  trap cleanup EXIT
  updated=$(grep -lx newer "$dir"/R/* | wc -l)
  [ "$updated" = 30 ] || fail "$LAST_RUN: $updated of 30 files updated"
else
  echo "SKIP: tmpfs cannot be mounted here; output running full not tested" >&2
fi
