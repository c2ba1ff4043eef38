# The update of differing files on real trees: direction, content,
# permission bits and times to the nanosecond; failures that leave the old
# target as it was, end with status 2 and name both paths; links at a target
# path left alone.
. "$(dirname "$0")/common.sh"

# progress KIND PATH: the progress line of an update or a copy of a
# one-sided file between the roots L and R.
progress() {
  case $1 in
    newer-left | only-left) printf '%s -> %s\n' "L/$2" "R/$2" ;;
    newer-right | only-right) printf '%s -> %s\n' "R/$2" "L/$2" ;;
  esac
}

# update_output TOTAL SAME DIFFERENT MISSING: the file of the whole standard
# output of a run with -y that only updates, in the order of the listing of
# the last run: the entries, the summary, a progress line each, a blank line.
update_output() {
  local exp kind path
  exp=$(expected '\n')
  listed_entries "$OUT" >"$HELPER_DIR/entries"
  {
    while read -r kind path; do entry_line "$kind" "$path"; done <"$HELPER_DIR/entries"
    print_summary "$@"
    while read -r kind path; do progress "$kind" "$path"; done <"$HELPER_DIR/entries"
    printf '\n'
  } >>"$exp"
  printf '%s\n' "$exp"
}

# quoted PATH: PATH in double quotes, with `"` and `\` escaped.
quoted() {
  local text=${1//\\/\\\\}
  printf '"%s"' "${text//\"/\\\"}"
}

# copy_error KIND PATH REASON: the message of a failed copy.
copy_error() {
  local from=L to=R
  case $1 in newer-right | only-right) from=R to=L ;; esac
  printf 'Fehler beim Kopieren von %s nach %s: %s\n' \
    "$(quoted "$from/$2")" "$(quoted "$to/$2")" "$3"
}

# check_no_temp DIR LABEL: no temporary file of a copy is left in DIR.
check_no_temp() {
  local left
  left=$(find "$1" -name '.kalvern-*' -printf '%P\n')
  [ -z "$left" ] || fail "$2: temporary files left behind: $left"
}

# check_same_file A B LABEL: same content, permission bits and time to the
# nanosecond.
check_same_file() {
  cmp -s -- "$1" "$2" || fail "$3: content differs from the source"
  stat -c '%a %.9Y' -- "$1" >"$HELPER_DIR/stat.source"
  stat -c '%a %.9Y' -- "$2" >"$HELPER_DIR/stat.target"
  check_same "$HELPER_DIR/stat.source" "$HELPER_DIR/stat.target" "mode and time of $3"
}

# check_kept DIR REASON CONTENT LABEL: the last run refused the update of
# f.txt for REASON with status 2; R/f.txt still holds CONTENT, and no
# temporary file is left.
check_kept() {
  local err
  check_status 2 "$LAST_RUN"
  err=$(expected '')
  copy_error newer-left f.txt "$2" >"$err"
  check_same "$err" "$ERR" "stderr of $LAST_RUN"
  printf '%s' "$3" >"$HELPER_DIR/content"
  check_same "$HELPER_DIR/content" "$1/R/f.txt" "$4"
  check_no_temp "$1" "$4"
}

# --- Direction, content, permission bits, times -------------------------------

dir=$TEST_TMP/update
make_file "$dir/L/a/b.txt" 1700000000.123456789 "left, newer"
make_file "$dir/R/a/b.txt" 1600000000 "right, older and longer than the left"
chmod 0640 "$dir/L/a/b.txt"
chmod 0644 "$dir/R/a/b.txt"
make_file "$dir/L/c.txt" 1500000000.5 "left, older"
make_file "$dir/R/c.txt" 11000000000.25 "right, newer: a time after 2300"
chmod 0600 "$dir/L/c.txt"
chmod 0755 "$dir/R/c.txt"
make_file "$dir/L/d.txt" -999999990.987654321 "left, newer: a time before 1970"
make_file "$dir/R/d.txt" -1000000005 "right, older"
make_file "$dir/L/e.txt" 1000.25 "same second"
make_file "$dir/R/e.txt" 1000.75 "same second, other content"
make_file "$dir/L/f.txt" 2000.75 "newer by a fraction over the second"
make_file "$dir/R/f.txt" 1000 "older"
# R/a/b.txt carries a user attribute and an ACL, which its replacement
# keeps (the ACL's mask set by the source's mode); R/f.txt has a second hard
# link outside the trees, which keeps the old bytes.
ATTRIBUTES=1
if ! setfattr -n user.tag -v rot "$dir/R/a/b.txt" 2>/dev/null ||
  ! setfacl -m "u:$NOBODY_UID:rw" "$dir/R/a/b.txt" 2>/dev/null; then
  ATTRIBUTES=0
  echo "no user attributes or ACLs on $TEST_TMP: their checks are skipped" >&2
fi
ln "$dir/R/f.txt" "$dir/f.link"
# The copy has the source's permission bits whatever the umask.
saved_umask=$(umask)
umask 077
run_kalvern --cwd "$dir" -- -y -c 30 L R
umask "$saved_umask"
check_status 0 "$LAST_RUN"
exp=$(expected '\n')
{
  entry_line newer-left a/b.txt
  entry_line newer-right c.txt
  entry_line newer-left d.txt
  entry_line newer-left f.txt
  print_summary 10 1 4 0
} >>"$exp"
check_listed "$exp" "listing of $LAST_RUN"
# The updates follow the order of the listing.
check_same "$(update_output 10 1 4 0)" "$OUT" "stdout of $LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
check_same_file "$dir/L/a/b.txt" "$dir/R/a/b.txt" "R/a/b.txt"
check_same_file "$dir/R/c.txt" "$dir/L/c.txt" "L/c.txt"
check_same_file "$dir/L/d.txt" "$dir/R/d.txt" "R/d.txt"
check_same_file "$dir/L/f.txt" "$dir/R/f.txt" "R/f.txt"
printf 'same second, other content' >"$HELPER_DIR/content"
check_same "$HELPER_DIR/content" "$dir/R/e.txt" "R/e.txt, equal by the second"
check_no_temp "$dir" "update"
printf 'older' >"$HELPER_DIR/content"
check_same "$HELPER_DIR/content" "$dir/f.link" "hard link of the replaced R/f.txt"
if [ $ATTRIBUTES = 1 ]; then
  [ "$(getfattr --only-values -n user.tag "$dir/R/a/b.txt")" = rot ] ||
    fail "R/a/b.txt lost its user attribute"
  getfacl -cnE "$dir/R/a/b.txt" >"$HELPER_DIR/acl"
  exp=$(expected 'user::rw-\nuser:%s:rw-\ngroup::r--\nmask::r--\nother::---\n\n' "$NOBODY_UID")
  check_same "$exp" "$HELPER_DIR/acl" "ACL of R/a/b.txt"
fi
check_identical_run "$dir" 5

# A root given with two trailing slashes keeps one; the full paths still
# hold a single slash.
dir=$TEST_TMP/slashes
make_file "$dir/L/f.txt" 2000 "new"
make_file "$dir/R/f.txt" 1000 "old"
exp=$(expected '\n')
{ entry_line newer-left f.txt; print_summary 2 0 1 0; printf 'L/f.txt -> R/f.txt\n\n'; } >>"$exp"
expect_run 0 "$exp" "$EMPTY" --cwd "$dir" -- -y -c 30 L// R//
check_same_file "$dir/L/f.txt" "$dir/R/f.txt" "R/f.txt after L// R//"

# --- Targets the program may not replace --------------------------------------

# A read-only target, for an unprivileged user in a directory of its own:
# not replaced, reported with both paths quoted, status 2.
dir=$TEST_TMP/read-only
name='q"uote\back.txt'
make_file "$dir/L/$name" 2000 "new"
make_file "$dir/R/$name" 1000 "old"
chmod 0444 "$dir/R/$name"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
snapshot "$dir/R" >"$HELPER_DIR/before"
exp=$(expected '\n')
{ entry_line newer-left "$name"; print_summary 2 0 1 0; progress newer-left "$name"; printf '\n'; } >>"$exp"
err=$(expected '')
copy_error newer-left "$name" 'Permission denied' >"$err"
expect_run 2 "$exp" "$err" --nobody --cwd "$dir" -- -y -c 30 L R
snapshot "$dir/R" >"$HELPER_DIR/after"
check_same "$HELPER_DIR/before" "$HELPER_DIR/after" "R after the read-only target"
printf 'old' >"$HELPER_DIR/content"
check_same "$HELPER_DIR/content" "$dir/R/$name" "read-only target"

# A writable target in a directory the unprivileged user may not write: the
# replacement cannot be made there, and the target stays as it was.
dir=$TEST_TMP/locked-dir
make_file "$dir/L/sub/f.txt" 2000 "new"
make_file "$dir/R/sub/f.txt" 1000 "old"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
chmod 0555 "$dir/R/sub"
snapshot "$dir/R" >"$HELPER_DIR/before"
exp=$(expected '\n')
{ entry_line newer-left sub/f.txt; print_summary 2 0 1 0; progress newer-left sub/f.txt; printf '\n'; } >>"$exp"
err=$(expected '')
copy_error newer-left sub/f.txt 'Permission denied' >"$err"
expect_run 2 "$exp" "$err" --nobody --cwd "$dir" -- -y -c 30 L R
snapshot "$dir/R" >"$HELPER_DIR/after"
check_same "$HELPER_DIR/before" "$HELPER_DIR/after" "R after the locked directory"

# --- A copy that fails midway ---------------------------------------------------

# Under a file size limit the copy of the large file fails part of the way
# through; the old target stays byte for byte, no temporary file is left, the
# small file is still updated, and the status is 2.
dir=$TEST_TMP/file-size
mkdir -p "$dir/L" "$dir/R"
head -c 300000 /dev/urandom >"$dir/L/big.bin"
touch -d @2000 "$dir/L/big.bin"
make_file "$dir/R/big.bin" 1000 "the old, small target"
cp -p "$dir/R/big.bin" "$HELPER_DIR/big.old"
make_file "$dir/L/small.txt" 2000 "small and new"
make_file "$dir/R/small.txt" 1000 "small and old"
env -C "$dir" prlimit --fsize=100000 "$KALVERN" -y -c 30 L R \
  </dev/null >"$OUT" 2>"$ERR" && STATUS=0 || STATUS=$?
LAST_RUN="kalvern -y -c 30 L R under a file size limit"
check_status 2 "$LAST_RUN"
check_same "$(update_output 4 0 2 0)" "$OUT" "stdout of $LAST_RUN"
exp=$(expected '\n')
{ entry_line newer-left big.bin; entry_line newer-left small.txt; print_summary 4 0 2 0; } >>"$exp"
check_listed "$exp" "listing of $LAST_RUN"
err=$(expected '')
copy_error newer-left big.bin 'File too large' >"$err"
check_same "$err" "$ERR" "stderr of $LAST_RUN"
cmp -s "$HELPER_DIR/big.old" "$dir/R/big.bin" || fail "R/big.bin changed by the failed copy"
[ "$(stat -c %Y "$dir/R/big.bin")" = 1000 ] || fail "R/big.bin: time changed by the failed copy"
check_same_file "$dir/L/small.txt" "$dir/R/small.txt" "R/small.txt next to the failed copy"
check_no_temp "$dir" "failed copy"
# The failed pair is listed again in the next run, the other one is not.
exp=$(expected '\n')
{ entry_line newer-left big.bin; print_summary 4 1 1 0; printf "$ASK_SYNC"; printf "$SAID_NO"; } >>"$exp"
expect_run 0 "$exp" "$EMPTY" --stdin "$ANSWER_NO" --cwd "$dir" -- -c 30 L R

# The replacement cannot get the target's user attribute (strace makes
# fsetxattr fail): the copy is refused, the target stays with its bytes and
# its attribute, status 2.
if [ $ATTRIBUTES = 1 ] && command -v strace >/dev/null; then
  dir=$TEST_TMP/attribute-refused
  make_file "$dir/L/f.txt" 2000 "new"
  make_file "$dir/R/f.txt" 1000 "old"
  setfattr -n user.tag -v rot "$dir/R/f.txt"
  env -C "$dir" strace -o /dev/null -f -e trace=fsetxattr \
    -e inject=fsetxattr:error=ENOSPC "$KALVERN" -y -c 30 L R \
    </dev/null >"$OUT" 2>"$ERR" && STATUS=0 || STATUS=$?
  LAST_RUN="kalvern -y -c 30 L R with fsetxattr failing"
  exp=$(expected '\n')
  { entry_line newer-left f.txt; print_summary 2 0 1 0; printf 'L/f.txt -> R/f.txt\n\n'; } >>"$exp"
  check_same "$exp" "$OUT" "stdout of $LAST_RUN"
  check_kept "$dir" 'No space left on device' old "R/f.txt after the refused attribute"
  [ "$(getfattr --only-values -n user.tag "$dir/R/f.txt")" = rot ] ||
    fail "R/f.txt lost its user attribute"
fi

# Where /proc is missing (unmounted in a mount namespace of its own), the
# replaced file is opened to read its attributes: they are kept all the same.
if [ $ATTRIBUTES = 1 ] && unshare -m true 2>/dev/null; then
  dir=$TEST_TMP/without-proc
  make_file "$dir/L/f.txt" 2000 "new"
  make_file "$dir/R/f.txt" 1000 "old"
  setfattr -n user.tag -v rot "$dir/R/f.txt"
  env -C "$dir" unshare -m sh -c 'umount -l /proc && exec "$0" -y -c 30 L R' "$KALVERN" \
    </dev/null >"$OUT" 2>"$ERR" && STATUS=0 || STATUS=$?
  check_status 0 "kalvern -y -c 30 L R without /proc"
  check_same_file "$dir/L/f.txt" "$dir/R/f.txt" "R/f.txt updated without /proc"
  [ "$(getfattr --only-values -n user.tag "$dir/R/f.txt")" = rot ] ||
    fail "R/f.txt lost its user attribute without /proc"
fi

# --- Symbolic links at the target path of a one-sided file ------------------------

# R/x.txt links to a directory outside the trees, R/y.txt to a file outside
# that does not exist yet.  The scan passes over both, so x.txt and y.txt are
# listed as left-only; their copies must neither replace the links nor write
# through them.
dir=$TEST_TMP/links
mkdir -p "$dir/outside"
make_file "$dir/outside/x.txt" 1000 "outside, must stay"
make_file "$dir/L/x.txt" 2000 "left x"
make_file "$dir/L/y.txt" 2000 "left y"
mkdir -p "$dir/R"
ln -s "$dir/outside" "$dir/R/x.txt"
ln -s "$dir/outside/y.txt" "$dir/R/y.txt"
snapshot "$dir/outside" >"$HELPER_DIR/outside.before"
snapshot "$dir/R" >"$HELPER_DIR/before"
run_kalvern --stdin "$(expected 'j\nb\n')" --cwd "$dir" -- -c 30 L R
check_status 2 "$LAST_RUN"
exp=$(expected '\n')
{ entry_line only-left x.txt; entry_line only-left y.txt; print_summary 2 0 0 2; } >>"$exp"
check_listed "$exp" "listing of $LAST_RUN"
listed_entries "$OUT" >"$HELPER_DIR/entries"
exp=$(expected '\n')
err=$(expected '')
while read -r kind path; do entry_line "$kind" "$path"; done <"$HELPER_DIR/entries" >>"$exp"
print_summary 2 0 0 2 >>"$exp"
printf "$ASK_SYNC$ASK_MISSING\n" >>"$exp"
while read -r kind path; do
  progress "$kind" "$path" >>"$exp"
  copy_error "$kind" "$path" 'File exists' >>"$err"
done <"$HELPER_DIR/entries"
printf '\n' >>"$exp"
check_same "$exp" "$OUT" "stdout of $LAST_RUN"
check_same "$err" "$ERR" "stderr of $LAST_RUN"
snapshot "$dir/R" >"$HELPER_DIR/after"
check_same "$HELPER_DIR/before" "$HELPER_DIR/after" "R with links at the target paths"
snapshot "$dir/outside" >"$HELPER_DIR/outside.after"
check_same "$HELPER_DIR/outside.before" "$HELPER_DIR/outside.after" "directory outside the trees"
[ ! -e "$dir/outside/y.txt" ] || fail "a copy was written through the link R/y.txt"
check_no_temp "$dir" "links"

# --- Changes between the scan and the copy ---------------------------------------

# The source is deleted: the time cannot be read, the target stays.
dir=$TEST_TMP/source-gone
make_file "$dir/L/f.txt" 2000 "new"
make_file "$dir/R/f.txt" 1000 "old"
snapshot "$dir/R" >"$HELPER_DIR/before"
delete_source() { rm "$dir/L/f.txt"; }
run_paused "$dir" delete_source 'j\n' -- -c 30 L R
check_status 2 "$LAST_RUN"
exp=$(expected '\n')
{ entry_line newer-left f.txt; print_summary 2 0 1 0; printf "$ASK_SYNC"; printf 'L/f.txt -> R/f.txt\n\n'; } >>"$exp"
check_same "$exp" "$OUT" "stdout of $LAST_RUN"
check_same "$(expected 'Fehler beim Lesen des Zeitstempels von "L/f.txt": No such file or directory\n')" \
  "$ERR" "stderr of $LAST_RUN"
snapshot "$dir/R" >"$HELPER_DIR/after"
check_same "$HELPER_DIR/before" "$HELPER_DIR/after" "R after the source was deleted"

# The target is edited after the scan, so it is no longer older: kept.
dir=$TEST_TMP/target-edited
make_file "$dir/L/f.txt" 2000 "new"
make_file "$dir/R/f.txt" 1000 "old"
edit_target() { make_file "$dir/R/f.txt" 3000 "edited meanwhile"; }
run_paused "$dir" edit_target 'j\n' -- -c 30 L R
check_same "$exp" "$OUT" "stdout of $LAST_RUN"
check_kept "$dir" 'Ziel ist nicht älter als die Quelle' 'edited meanwhile' \
  "target edited after the scan"
[ "$(stat -c %Y "$dir/R/f.txt")" = 3000 ] || fail "target edited after the scan: time changed"

# A file appears at the target path of a one-sided file: never replaced.
dir=$TEST_TMP/target-appears
make_file "$dir/L/x.txt" 2000 "left only"
mkdir -p "$dir/R"
create_target() { make_file "$dir/R/x.txt" 500 "created meanwhile"; }
run_paused "$dir" create_target 'j\nb\n' -- -c 30 L R
check_status 2 "$LAST_RUN"
exp=$(expected '\n')
{ entry_line only-left x.txt; print_summary 1 0 0 1; printf "$ASK_SYNC$ASK_MISSING\n"; printf 'L/x.txt -> R/x.txt\n\n'; } >>"$exp"
check_same "$exp" "$OUT" "stdout of $LAST_RUN"
err=$(expected '')
copy_error only-left x.txt 'File exists' >"$err"
check_same "$err" "$ERR" "stderr of $LAST_RUN"
printf 'created meanwhile' >"$HELPER_DIR/content"
check_same "$HELPER_DIR/content" "$dir/R/x.txt" "file created at the target path"
check_no_temp "$dir" "file created at the target path"

# A file stands where a copy needs a directory, at its first level and
# below: each copy names that file, "Not a directory".
dir=$TEST_TMP/file-for-dir
make_file "$dir/L/A" 2000 "a"
make_file "$dir/L/b/A/c" 2000 "c"
make_file "$dir/R/A/x.txt" 2000 "x"
make_file "$dir/R/b/A/c/d/y" 2000 "y"
run_kalvern --stdin "$(expected 'j\nb\n')" --cwd "$dir" -- -c 30 L R
check_status 2 "$LAST_RUN"
check_same "$(expected '%s\n' \
  'Fehler beim Kopieren von "L/A" nach "R/A": File exists' \
  'Fehler beim Kopieren von "L/b/A/c" nach "R/b/A/c": File exists' \
  'Fehler beim Erstellen von "L/A": Not a directory' \
  'Fehler beim Erstellen von "L/b/A/c": Not a directory')" "$ERR" "stderr of $LAST_RUN"

# A source in a directory that the user may search but not read (locked so
# after the scan): the file itself can be read, so it is copied.
dir=$TEST_TMP/search-only
make_file "$dir/L/d/f.txt" 2000 "new"
make_file "$dir/R/d/f.txt" 1000 "old"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
lock_reading() { chmod 0311 "$dir/L/d"; }
run_paused --nobody "$dir" lock_reading 'j\n' -- -c 30 L R
exp=$(expected '\n')
{ entry_line newer-left d/f.txt; print_summary 2 0 1 0; printf "$ASK_SYNC"; printf 'L/d/f.txt -> R/d/f.txt\n\n'; } >>"$exp"
check_status 0 "$LAST_RUN"
check_same "$exp" "$OUT" "stdout of $LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
chmod 0755 "$dir/L/d"
check_same_file "$dir/L/d/f.txt" "$dir/R/d/f.txt" "R/d/f.txt"
