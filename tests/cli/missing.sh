# One-sided files on real trees: the answers l, r and b, the deletion and
# directory lines, the pruning of emptied directories, created parents,
# failures as an unprivileged user, and no change through a symbolic link
# below a root.
. "$(dirname "$0")/common.sh"

REFUSED='Too many levels of symbolic links'

# dialog: the two questions and the blank line after the second answer.
dialog() {
  printf "$ASK_SYNC$ASK_MISSING\n"
}

# tree_shape DIR: the directories and files below DIR, without times.
tree_shape() {
  (cd "$1" && find . -mindepth 1 -printf '%y %P\n' | sort)
}

# check_tree DIR EXPECTED LABEL: DIR holds exactly the objects listed in the
# printf format EXPECTED ("TYPE PATH" lines).
check_tree() {
  local exp
  exp=$(expected "$2")
  sort -o "$exp" "$exp"
  tree_shape "$1" >"$HELPER_DIR/shape"
  check_same "$exp" "$HELPER_DIR/shape" "$3"
}

# --- The deletion lines and the pruning ---------------------------------------

# Nested directories emptied by a deletion go, innermost first; the root
# stays, although nothing is left in it.
dir=$TEST_TMP/nested
make_file "$dir/L/d/e/f.txt" 1000
mkdir -p "$dir/R"
run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{
  entry_line only-left d/e/f.txt; print_summary 1 0 0 1; dialog
  printf "'L/d/e/f.txt' wurde entfernt\n"
  printf 'Ordner "L/d/e" wurde entfernt\n'
  printf 'Ordner "L/d" wurde entfernt\n\n'
} >>"$exp"
check_run 0 "$exp" "$EMPTY"
check_tree "$dir/L" '' "L after the nested deletion"

# The same with a root given with two trailing slashes: the walk still stops
# at the root.
dir=$TEST_TMP/nested-slashes
make_file "$dir/L/d/f.txt" 1000
mkdir -p "$dir/R"
run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L// R
exp=$(expected '\n')
{
  entry_line only-left d/f.txt; print_summary 1 0 0 1; dialog
  printf "'L/d/f.txt' wurde entfernt\n"
  printf 'Ordner "L/d" wurde entfernt\n\n'
} >>"$exp"
check_run 0 "$exp" "$EMPTY"
[ -d "$dir/L" ] || fail "root L// was removed"

# A file directly in the root prunes nothing.
dir=$TEST_TMP/in-root
make_file "$dir/L/x.txt" 1000
mkdir -p "$dir/R"
run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-left x.txt; print_summary 1 0 0 1; dialog; printf "'L/x.txt' wurde entfernt\n\n"; } >>"$exp"
check_run 0 "$exp" "$EMPTY"
[ -d "$dir/L" ] || fail "root L was removed"

# A directory that still holds something the scan did not list stays, and
# the walk ends there: an empty directory, a named pipe, a link to a
# directory, a directory the scan skips by its name.
unlisted_stays() {
  local name=$1 dir=$TEST_TMP/unlisted-$1 exp
  shift
  make_file "$dir/L/d/e/f.txt" 1000
  mkdir -p "$dir/R"
  "$@" "$dir/L/d/$name"
  run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
  exp=$(expected '\n')
  {
    entry_line only-left d/e/f.txt; print_summary 1 0 0 1; dialog
    printf "'L/d/e/f.txt' wurde entfernt\n"
    printf 'Ordner "L/d/e" wurde entfernt\n\n'
  } >>"$exp"
  check_run 0 "$exp" "$EMPTY"
  [ -e "$dir/L/d/$name" ] || [ -L "$dir/L/d/$name" ] || fail "L/d/$name is gone"
}
make_lost_found() { mkdir -p "$1" && make_file "$1/kept.txt" 1000; }
make_link_to_dir() { ln -s .. "$1"; }
unlisted_stays empty mkdir
unlisted_stays pipe mkfifo
unlisted_stays link make_link_to_dir
unlisted_stays lost+found make_lost_found

# Created parent directories get their source directory's permissions,
# level by level, less the umask; the copy gets the source's content, bits
# and time.
dir=$TEST_TMP/parents
mkdir -p "$dir/L"
make_file "$dir/R/n/m/y.txt" 1234.5678
chmod 0604 "$dir/R/n/m/y.txt"
chmod 0777 "$dir/R/n"
chmod 0750 "$dir/R/n/m"
saved_umask=$(umask)
umask 002
run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
umask "$saved_umask"
exp=$(expected '\n')
{ entry_line only-right n/m/y.txt; print_summary 1 0 0 1; dialog; printf 'R/n/m/y.txt -> L/n/m/y.txt\n\n'; } >>"$exp"
check_run 0 "$exp" "$EMPTY"
[ "$(stat -c %a "$dir/L/n")" = 775 ] || fail "L/n: mode $(stat -c %a "$dir/L/n") under umask 002"
[ "$(stat -c %a "$dir/L/n/m")" = 750 ] || fail "L/n/m: mode $(stat -c %a "$dir/L/n/m") under umask 002"
cmp -s "$dir/R/n/m/y.txt" "$dir/L/n/m/y.txt" || fail "L/n/m/y.txt: content differs"
[ "$(stat -c '%a %.9Y' "$dir/L/n/m/y.txt")" = "604 1234.567800000" ] ||
  fail "L/n/m/y.txt: mode and time $(stat -c '%a %.9Y' "$dir/L/n/m/y.txt")"

# --- Order: the right tree's one-sided files come last --------------------------

# With l every deletion comes first: L/d goes with its last file, and the
# copy that follows makes it anew.
dir=$TEST_TMP/order-l
make_file "$dir/L/d/only.txt" 1000
make_file "$dir/R/d/new.txt" 1000
run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{
  entry_line only-left d/only.txt; entry_line only-right d/new.txt; print_summary 2 0 0 2; dialog
  printf "'L/d/only.txt' wurde entfernt\n"
  printf 'Ordner "L/d" wurde entfernt\n'
  printf 'R/d/new.txt -> L/d/new.txt\n\n'
} >>"$exp"
check_run 0 "$exp" "$EMPTY"
check_tree "$dir/L" 'd d\nf d/new.txt\n' "L after l"

# With r every copy comes first, so R/d is never emptied.
dir=$TEST_TMP/order-r
make_file "$dir/L/d/a.txt" 1000
make_file "$dir/R/d/b.txt" 1000
run_kalvern --stdin "$(expected 'j\nr\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{
  entry_line only-left d/a.txt; entry_line only-right d/b.txt; print_summary 2 0 0 2; dialog
  printf 'L/d/a.txt -> R/d/a.txt\n'
  printf "'R/d/b.txt' wurde entfernt\n\n"
} >>"$exp"
check_run 0 "$exp" "$EMPTY"
check_tree "$dir/R" 'd d\nf d/a.txt\n' "R after r"

# --- Full runs of each answer ------------------------------------------------------

# make_pair DIR: a pair with equal, differing and one-sided files at
# several depths.
make_pair() {
  make_file "$1/L/same.txt" 1000 "same"
  make_file "$1/R/same.txt" 1000 "same"
  make_file "$1/L/diff/new-left.txt" 3000 "left, newer"
  make_file "$1/R/diff/new-left.txt" 2000 "right, older"
  make_file "$1/L/diff/new-right.txt" 2000 "left, older"
  make_file "$1/R/diff/new-right.txt" 3000.5 "right, newer"
  make_file "$1/L/lonly.txt" 1100
  make_file "$1/L/deep/l1/l2/lfile.txt" 1200.25
  make_file "$1/L/both/lboth.txt" 1300
  make_file "$1/R/ronly.txt" 1400
  make_file "$1/R/rdeep/r1/rfile.txt" 1500.75
  make_file "$1/R/both/rboth.txt" 1600
}

# resolution ANSWER KIND PATH: the lines that resolving one entry prints.
resolution() {
  case $1:$2 in
    l:only-left)
      printf "'L/%s' wurde entfernt\n" "$3"
      case $3 in
        deep/l1/l2/lfile.txt)
          printf 'Ordner "L/deep/l1/l2" wurde entfernt\n'
          printf 'Ordner "L/deep/l1" wurde entfernt\n'
          printf 'Ordner "L/deep" wurde entfernt\n' ;;
        both/lboth.txt) printf 'Ordner "L/both" wurde entfernt\n' ;;
      esac ;;
    r:only-right)
      printf "'R/%s' wurde entfernt\n" "$3"
      case $3 in
        rdeep/r1/rfile.txt)
          printf 'Ordner "R/rdeep/r1" wurde entfernt\n'
          printf 'Ordner "R/rdeep" wurde entfernt\n' ;;
      esac ;;
    *:only-left) printf 'L/%s -> R/%s\n' "$3" "$3" ;;
    *:only-right) printf 'R/%s -> L/%s\n' "$3" "$3" ;;
  esac
}

# update KIND PATH: the progress line of an update.
update() {
  case $1 in
    newer-left) printf 'L/%s -> R/%s\n' "$2" "$2" ;;
    newer-right) printf 'R/%s -> L/%s\n' "$2" "$2" ;;
  esac
}

# full_run ANSWER SHAPE FILES: runs a whole synchronisation on a fresh pair
# with ANSWER; both trees must then have SHAPE (a printf format of "TYPE
# PATH" lines), equal files, and a further run finds FILES equal files.
full_run() {
  local answer=$1 dir=$TEST_TMP/full-$1 exp kind path file
  make_pair "$dir"
  run_kalvern --stdin "$(expected 'j\n%s\n' "$answer")" --cwd "$dir" -- -c 30 L R
  exp=$(expected '\n')
  {
    entry_line newer-left diff/new-left.txt
    entry_line newer-right diff/new-right.txt
    entry_line only-left lonly.txt
    entry_line only-left deep/l1/l2/lfile.txt
    entry_line only-left both/lboth.txt
    entry_line only-right ronly.txt
    entry_line only-right rdeep/r1/rfile.txt
    entry_line only-right both/rboth.txt
    print_summary 12 1 2 6
  } >>"$exp"
  check_listed "$exp" "listing of $LAST_RUN"
  listed_entries "$OUT" >"$HELPER_DIR/entries"
  exp=$(expected '\n')
  {
    while read -r kind path; do entry_line "$kind" "$path"; done <"$HELPER_DIR/entries"
    print_summary 12 1 2 6
    printf "$ASK_SYNC"
    while read -r kind path; do update "$kind" "$path"; done <"$HELPER_DIR/entries"
    printf "$ASK_MISSING\n"
    while read -r kind path; do resolution "$answer" "$kind" "$path"; done <"$HELPER_DIR/entries"
    printf '\n'
  } >>"$exp"
  check_run 0 "$exp" "$EMPTY"
  check_tree "$dir/L" "$2" "L after $answer"
  check_tree "$dir/R" "$2" "R after $answer"
  for file in $(cd "$dir/L" && find . -type f -printf '%P\n'); do
    cmp -s "$dir/L/$file" "$dir/R/$file" || fail "after $answer: $file differs"
  done
  check_identical_run "$dir" "$3"
}

COMMON='f same.txt\nd diff\nf diff/new-left.txt\nf diff/new-right.txt\nd both\n'
LEFT_FILES='f lonly.txt\nd deep\nd deep/l1\nd deep/l1/l2\nf deep/l1/l2/lfile.txt\nf both/lboth.txt\n'
RIGHT_FILES='f ronly.txt\nd rdeep\nd rdeep/r1\nf rdeep/r1/rfile.txt\nf both/rboth.txt\n'
full_run l "$COMMON$RIGHT_FILES" 6
full_run r "$COMMON$LEFT_FILES" 6
full_run b "$COMMON$LEFT_FILES$RIGHT_FILES" 9

# --- Failures as an unprivileged user -------------------------------------------

# A file in a directory the user may not write: not deleted, reported, and
# the walk stops without output.
dir=$TEST_TMP/undeletable
make_file "$dir/L/ro/f.txt" 1000
mkdir -p "$dir/R"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
chmod 0555 "$dir/L/ro"
run_kalvern --nobody --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-left ro/f.txt; print_summary 1 0 0 1; dialog; printf '\n'; } >>"$exp"
check_run 2 "$exp" "$(expected 'Fehler beim Löschen von "L/ro/f.txt": Permission denied\n')"
[ -f "$dir/L/ro/f.txt" ] || fail "L/ro/f.txt was deleted"

# An emptied directory in a directory the user may not write: the file goes,
# the directory stays, with a message.
dir=$TEST_TMP/unremovable
make_file "$dir/L/a/b/f.txt" 1000
mkdir -p "$dir/R"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
chmod 0555 "$dir/L/a"
run_kalvern --nobody --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-left a/b/f.txt; print_summary 1 0 0 1; dialog; printf "'L/a/b/f.txt' wurde entfernt\n\n"; } >>"$exp"
check_run 2 "$exp" "$(expected 'Fehler beim Löschen von "L/a/b": Permission denied\n')"
[ -d "$dir/L/a/b" ] || fail "L/a/b was removed"
[ ! -e "$dir/L/a/b/f.txt" ] || fail "L/a/b/f.txt is still there"

# A directory that may be written and searched but not read (locked so
# after the scan): its emptiness cannot be tested, and the walk ends there.
dir=$TEST_TMP/unreadable
make_file "$dir/L/d/f.txt" 1000
mkdir -p "$dir/R"
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
lock_reading() { chmod 0300 "$dir/L/d"; }
run_paused --nobody "$dir" lock_reading 'j\nl\n' -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-left d/f.txt; print_summary 1 0 0 1; dialog; printf "'L/d/f.txt' wurde entfernt\n\n"; } >>"$exp"
check_run 2 "$exp" "$(expected 'Fehler beim Prüfen von "L/d": Permission denied\n')"
chmod 0700 "$dir/L/d"
check_tree "$dir/L" 'd d\n' "L after the failed test"

# Missing parents that cannot be created: nothing is copied for the entry.
dir=$TEST_TMP/uncreatable
mkdir -p "$dir/L"
make_file "$dir/R/new/sub/y.txt" 1000
chown -R "$NOBODY_UID:$NOBODY_UID" "$dir"
chmod 0555 "$dir/L"
run_kalvern --nobody --stdin "$(expected 'j\nb\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-right new/sub/y.txt; print_summary 1 0 0 1; dialog; printf 'R/new/sub/y.txt -> L/new/sub/y.txt\n\n'; } >>"$exp"
check_run 2 "$exp" "$(expected 'Fehler beim Erstellen von "L/new": Permission denied\n')"
check_tree "$dir/L" '' "L after the failed creation"

# --- Symbolic links below a root -------------------------------------------------

# make_outside DIR: a directory beside the trees that nothing may change.
make_outside() {
  make_file "$1/outside/b.txt" 500 "outside, must stay"
  make_file "$1/outside/other.txt" 500 "outside too"
  snapshot "$1/outside" >"$1.outside"
}

# check_outside DIR LABEL: the directory beside the trees is as it was.
check_outside() {
  snapshot "$1/outside" >"$HELPER_DIR/outside"
  check_same "$1.outside" "$HELPER_DIR/outside" "directory outside the trees, $2"
  printf 'outside, must stay' >"$HELPER_DIR/content"
  check_same "$HELPER_DIR/content" "$1/outside/b.txt" "outside/b.txt, $2"
}

# The right tree holds a link a -> outside where the left tree has a/b.txt:
# the copy to R/a/b.txt is refused with one message, b and r alike.
for answer in b r; do
  dir=$TEST_TMP/link-right-$answer
  make_outside "$dir"
  make_file "$dir/L/a/b.txt" 2000 "left"
  mkdir -p "$dir/R"
  ln -s "$dir/outside" "$dir/R/a"
  run_kalvern --stdin "$(expected 'j\n%s\n' "$answer")" --cwd "$dir" -- -c 30 L R
  exp=$(expected '\n')
  { entry_line only-left a/b.txt; print_summary 1 0 0 1; dialog; printf 'L/a/b.txt -> R/a/b.txt\n\n'; } >>"$exp"
  check_run 2 "$exp" \
    "$(expected 'Fehler beim Kopieren von "L/a/b.txt" nach "R/a/b.txt": %s\n' "$REFUSED")"
  check_outside "$dir" "answer $answer"
  [ "$(readlink "$dir/R/a")" = "$dir/outside" ] || fail "answer $answer: the link R/a changed"
  [ -f "$dir/L/a/b.txt" ] || fail "answer $answer: L/a/b.txt is gone"
done

# The mirror image: the link in the left tree, answered with l.
dir=$TEST_TMP/link-left-l
make_outside "$dir"
make_file "$dir/R/a/b.txt" 2000 "right"
mkdir -p "$dir/L"
ln -s "$dir/outside" "$dir/L/a"
run_kalvern --stdin "$(expected 'j\nl\n')" --cwd "$dir" -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-right a/b.txt; print_summary 1 0 0 1; dialog; printf 'R/a/b.txt -> L/a/b.txt\n\n'; } >>"$exp"
check_run 2 "$exp" \
  "$(expected 'Fehler beim Kopieren von "R/a/b.txt" nach "L/a/b.txt": %s\n' "$REFUSED")"
check_outside "$dir" "answer l"
[ "$(readlink "$dir/L/a")" = "$dir/outside" ] || fail "answer l: the link L/a changed"

# A link that replaces a directory after the scan: the deletion below it is
# refused, nothing outside is deleted and no directory is removed.
dir=$TEST_TMP/link-appears
make_outside "$dir"
make_file "$dir/L/a/b.txt" 2000 "left"
mkdir -p "$dir/R"
swap_in_link() { rm -r "$dir/L/a" && ln -s "$dir/outside" "$dir/L/a"; }
run_paused "$dir" swap_in_link 'j\nl\n' -- -c 30 L R
exp=$(expected '\n')
{ entry_line only-left a/b.txt; print_summary 1 0 0 1; dialog; printf '\n'; } >>"$exp"
check_run 2 "$exp" \
  "$(expected 'Fehler beim Löschen von "L/a/b.txt": %s\n' "$REFUSED")"
check_outside "$dir" "link made after the scan"
[ "$(readlink "$dir/L/a")" = "$dir/outside" ] || fail "the link L/a made after the scan changed"

# A one-sided file that another process deleted after the scan: the deletion
# line all the same, and the walk follows.
dir=$TEST_TMP/gone-meanwhile
make_file "$dir/L/d/f.txt" 1000
mkdir -p "$dir/R"
delete_meanwhile() { rm "$dir/L/d/f.txt"; }
run_paused "$dir" delete_meanwhile 'j\nl\n' -- -c 30 L R
exp=$(expected '\n')
{
  entry_line only-left d/f.txt; print_summary 1 0 0 1; dialog
  printf "'L/d/f.txt' wurde entfernt\n"
  printf 'Ordner "L/d" wurde entfernt\n\n'
} >>"$exp"
check_run 0 "$exp" "$EMPTY"
check_tree "$dir/L" '' "L after the file vanished"

# --- Deletion only of what the scan saw ------------------------------------------

# deletion_recheck SIDE ANSWER CHANGE KEPT: a one-sided file of SIDE is changed
# by CHANGE while the question waits; with KEPT=1 it stays with its message,
# its directory too, and the status is 2, else it is deleted as usual.
deletion_recheck() {
  local side=$1 answer=$2 change=$3 kept=$4 dir kind exp err
  dir=$TEST_TMP/recheck-$side-$change
  kind=only-left
  [ "$side" = R ] && kind=only-right
  make_file "$dir/$side/d/f.txt" 1000
  mkdir -p "$dir/L" "$dir/R"
  target=$dir/$side/d/f.txt
  run_paused "$dir" "$change" "j\n$answer\n" -- -c 30 L R
  exp=$(expected '\n')
  err=$(expected '')
  { entry_line "$kind" d/f.txt; print_summary 1 0 0 1; dialog; } >>"$exp"
  if [ "$kept" = 1 ]; then
    printf '\n' >>"$exp"
    printf 'Fehler beim Löschen von "%s/d/f.txt": Datei wurde seit dem Vergleich geändert\n' \
      "$side" >"$err"
    check_run 2 "$exp" "$err"
    [ -e "$target" ] || [ -L "$target" ] || fail "$LAST_RUN: $side/d/f.txt is gone"
  else
    printf "'%s/d/f.txt' wurde entfernt\nOrdner \"%s/d\" wurde entfernt\n\n" \
      "$side" "$side" >>"$exp"
    check_run 0 "$exp" "$EMPTY"
    [ ! -d "$dir/$side/d" ] || fail "$LAST_RUN: $side/d is still there"
  fi
}
edited() { make_file "$target" 1001 "edited meanwhile"; }
touched_in_its_second() { touch -d @1000.5 "$target"; }
replaced_by_link() { rm "$target" && ln -s elsewhere "$target"; }
for side_answer in L:l R:r; do
  deletion_recheck "${side_answer%:*}" "${side_answer#*:}" edited 1
  deletion_recheck "${side_answer%:*}" "${side_answer#*:}" touched_in_its_second 0
  deletion_recheck "${side_answer%:*}" "${side_answer#*:}" replaced_by_link 1
done
