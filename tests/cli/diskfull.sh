# A full disk, on a small tmpfs: a copy that does not fit fails with "No
# space left on device", leaves the old target byte for byte and no
# temporary file, and the run ends with status 2; once space is freed, a
# second run completes the job.  Updates that fit one at a time all succeed,
# although their temporary files would not fit together.  Needs root to
# mount; skips itself (status 77) where mounting is not permitted.
. "$(dirname "$0")/common.sh"

skip() {
  echo "SKIP: $*" >&2
  exit 77
}

[ "$(id -u)" -eq 0 ] || skip "mounting a tmpfs needs root"

MNT=$TEST_TMP/mnt
unmount() { mountpoint -q "$MNT" && umount "$MNT" 2>/dev/null || true; }
trap 'status=$?; unmount; (exit $status); cleanup' EXIT

# mount_tmpfs SIZE: a fresh tmpfs of SIZE on $MNT.
mount_tmpfs() {
  unmount
  mkdir -p "$MNT"
  mount -t tmpfs -o "size=$1" kalvern-test "$MNT" 2>"$HELPER_DIR/mount.err" ||
    skip "cannot mount a tmpfs here: $(cat "$HELPER_DIR/mount.err")"
}

# random_file PATH KIB SECONDS: KIB KiB of random bytes with that time.
random_file() {
  mkdir -p "$(dirname "$1")"
  head -c $(($2 * 1024)) /dev/urandom >"$1"
  touch -d "@$3" "$1"
}

# check_no_temp DIR LABEL: no temporary file of a copy is left in DIR.
check_no_temp() {
  local left
  left=$(find "$1" -name '.kalvern-*' -printf '%P\n')
  [ -z "$left" ] || fail "$2: temporary files left behind: $left"
}

# --- A copy that does not fit -------------------------------------------------

# R lives on a 2 MiB tmpfs that a file outside the trees mostly fills; the
# large update cannot fit, the small one can.
mount_tmpfs 2M
random_file "$TEST_TMP/L/big.bin" 1200 2000
random_file "$TEST_TMP/L/small.bin" 4 2000
random_file "$MNT/R/big.bin" 8 1000
random_file "$MNT/R/small.bin" 4 1000
random_file "$MNT/filler" 1100 1000
cp -p "$MNT/R/big.bin" "$HELPER_DIR/big.old"
run_kalvern -- -y -c 30 "$TEST_TMP/L" "$MNT/R"
check_status 2 "$LAST_RUN on a full disk"
printf 'Fehler beim Kopieren von "%s" nach "%s": No space left on device\n' \
  "$TEST_TMP/L/big.bin" "$MNT/R/big.bin" >"$HELPER_DIR/err.expected"
check_same "$HELPER_DIR/err.expected" "$ERR" "stderr of $LAST_RUN on a full disk"
grep -qxF "$TEST_TMP/L/big.bin -> $MNT/R/big.bin" "$OUT" || fail "no progress line for big.bin"
cmp -s "$HELPER_DIR/big.old" "$MNT/R/big.bin" || fail "R/big.bin changed by the failed copy"
[ "$(stat -c %Y "$MNT/R/big.bin")" = 1000 ] || fail "R/big.bin: time changed by the failed copy"
cmp -s "$TEST_TMP/L/small.bin" "$MNT/R/small.bin" || fail "R/small.bin not updated beside the failed copy"
check_no_temp "$MNT" "full disk"

# Space freed: the second run completes the job.
rm "$MNT/filler"
run_kalvern -- -y -c 30 "$TEST_TMP/L" "$MNT/R"
check_status 0 "$LAST_RUN after space was freed"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN after space was freed"
cmp -s "$TEST_TMP/L/big.bin" "$MNT/R/big.bin" || fail "R/big.bin not updated after space was freed"
[ "$(stat -c %Y "$MNT/R/big.bin")" = 2000 ] || fail "R/big.bin: time not set after space was freed"
check_no_temp "$MNT" "after space was freed"

# --- Updates that fit one at a time -------------------------------------------

# Three updates of 900 KiB over old files of 900 KiB, with about 1.3 MiB
# free: copied one by one they fit, and so must the batches of copies.
rm -rf "$TEST_TMP/L"
mount_tmpfs 4M
for i in 1 2 3; do
  random_file "$TEST_TMP/L/f$i" 900 2000
  random_file "$MNT/R/f$i" 900 1000
done
run_kalvern -- -y -c 30 "$TEST_TMP/L" "$MNT/R"
check_status 0 "$LAST_RUN with room for one copy at a time"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN with room for one copy at a time"
for i in 1 2 3; do
  cmp -s "$TEST_TMP/L/f$i" "$MNT/R/f$i" || fail "R/f$i not updated with room for one copy at a time"
done
check_no_temp "$MNT" "room for one copy at a time"

# --- A renamed folder on a nearly full disk -----------------------------------

# A folder renamed on a small tmpfs.  With l the deletions come first, and
# the file kept for the copy takes the room that copying would have freed:
# the copy lands all the same, renamed where 40 MiB leave room to spare,
# written anew where 20 MiB do not (the kept file goes first).  With r the
# copies come first: a file taken stays in place beside a second copy that
# does not fit and fails for want of room.
for case in l:20M l:40M r:20M; do
  answer=${case%:*}
  rm -rf "$TEST_TMP/L" "$TEST_TMP/R"
  mount_tmpfs "${case#*:}"
  printf '%s\n' "$answer" >"$HELPER_DIR/answer"
  if [ "$answer" = l ]; then
    random_file "$MNT/L/Fotos/a.bin" 12288 1600000000
    mkdir -p "$TEST_TMP/R/Bilder" && cp -a "$MNT/L/Fotos/a.bin" "$TEST_TMP/R/Bilder/a.bin"
    inode=$(stat -c %i "$MNT/L/Fotos/a.bin")
    run_kalvern --stdin "$HELPER_DIR/answer" -- -y -c 30 "$MNT/L" "$TEST_TMP/R"
    check_status 0 "$LAST_RUN, a renamed folder on $case"
    check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN on $case"
    cmp -s "$TEST_TMP/R/Bilder/a.bin" "$MNT/L/Bilder/a.bin" || fail "$case: L/Bilder/a.bin missing"
    if [ "$case" = l:40M ] && [ "$(stat -c %i "$MNT/L/Bilder/a.bin")" != "$inode" ]; then
      fail "$case: L/Bilder/a.bin was written anew"
    fi
  else
    random_file "$MNT/R/Fotos/k.bin" 10240 1600000000
    mkdir -p "$TEST_TMP/L/Bilder" && cp -a "$MNT/R/Fotos/k.bin" "$TEST_TMP/L/Bilder/k.bin"
    random_file "$TEST_TMP/L/Bilder/z.bin" 11264 1600000001
    run_kalvern --stdin "$HELPER_DIR/answer" -- -y -c 30 "$TEST_TMP/L" "$MNT/R"
    check_status 2 "$LAST_RUN, a renamed folder and a copy that copying could not fit"
    grep -q 'z.bin": No space left on device$' "$ERR" || fail "$case: no message for z.bin: $(cat "$ERR")"
    cmp -s "$TEST_TMP/L/Bilder/k.bin" "$MNT/R/Bilder/k.bin" || fail "$case: R/Bilder/k.bin missing"
  fi
  check_no_temp "$MNT" "a renamed folder on $case"
done
