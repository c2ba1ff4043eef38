# Every system call failing in turn.  A small synchronisation (updates both
# ways, one-sided copies into new directories, deletions that prune, a
# touched update and a moved file that are not written again) runs
# once cleanly for each second answer (b, l, r) under strace, which counts
# the calls of each kind.  Then it runs again and again with one kind of
# call failing at its n-th invocation (strace counts them per thread), for
# n from 1 to that count: with EIO, with ENOSPC for the calls that write,
# with EINTR for reads and writes and with EPERM for those that set an
# owner, mode or time.  After each run: a status of 0, 1
# or 2 (no crash, no hang); every file holds its old bytes or its new
# ones; no temporary file is left; where the trees differ from those of
# the clean run, standard error says why and the status is not 0; every
# file gone has its deletion line, and every deletion line (of a file or
# a directory) stands for one gone.  Calls of the runtime rather than of
# the program (memory, futexes, thread set-up) are left alone.  Long: CTest
# runs it on the optimised build only, with a statically linked binary.
. "$(dirname "$0")/cli/common.sh"

command -v strace >/dev/null || { echo "SKIP: strace is needed for this test" >&2; exit 77; }

# Calls of the C library and the kernel's thread machinery, not of the
# program: a failed allocation or futex is not a failing file system.
RUNTIME='mmap munmap mprotect mremap brk madvise futex set_robust_list rseq
  set_tid_address arch_prctl execve exit exit_group'
# Calls that write, failing with ENOSPC as well; reads and writes, with
# EINTR.
WRITING='write pwrite64 writev copy_file_range fallocate ftruncate fsync
  fdatasync syncfs mkdirat openat renameat renameat2 linkat fsetxattr'
INTERRUPTIBLE='read pread64 readv write pwrite64 writev copy_file_range'
# Calls that set a file's owner, mode or time, refused with EPERM as a
# server that squashes root's rights refuses them.
REFUSABLE='fchmod fchown utimensat'

# listed WORD LIST: whether WORD is one of the words of LIST.
listed() {
  local word
  for word in $2; do [ "$word" != "$1" ] || return 0; done
  return 1
}

# make_trees DIR: the two trees below DIR, each file with a content of its
# own.
make_trees() {
  make_file "$1/L/upd1.txt" 2000 "upd1, new on the left"
  make_file "$1/R/upd1.txt" 1000 "upd1, old on the right"
  make_file "$1/L/sub/upd2.txt" 1000 "upd2, old on the left"
  make_file "$1/R/sub/upd2.txt" 2000 "upd2, new on the right"
  make_file "$1/L/new/deep/a.txt" 1500 "a, left only"
  make_file "$1/L/c.txt" 1500 "c, left only"
  make_file "$1/R/gone/deep/b.txt" 1600 "b, right only"
  make_file "$1/R/sub/d.txt" 1600 "d, right only"
  # Bytes the target holds: a touched update, and a file moved on one side
  # (l keeps it for the copy, r's copy takes it).
  make_file "$1/L/same.txt" 2000 "same, touched"
  make_file "$1/R/same.txt" 1000 "same, touched"
  make_file "$1/L/moved/m.txt" 1700 "m, moved"
  make_file "$1/R/old/m.txt" 1700 "m, moved"
}

# state DIR: the trees below DIR as they stand: each directory, and each
# file with its size, time and mode, then "SUM  PATH" for its content.
state() {
  (cd "$1" && find L R -type d -printf 'd %p\n' -o -printf '%y %p %s %T@ %m\n' |
    sort && find L R -type f -exec md5sum {} + | sort)
}

# contents STATE: "PATH SUM" for each file of STATE, its path below the
# roots.
contents() {
  awk 'NF == 2 { sub(/^[LR]\//, "", $2); print $2, $1 }' "$1"
}

# run_traced DIR ANSWER STRACE_ARGS...: runs the binary on DIR/L and DIR/R
# under strace, answering j and ANSWER; output in DIR.out and DIR.err.
run_traced() {
  local dir=$1 answer=$2
  shift 2
  printf 'j\n%s\n' "$answer" >"$dir.in"
  STATUS=0
  timeout 60 env -C "$dir" strace -f "$@" "$KALVERN" -c 30 L R \
    <"$dir.in" >"$dir.out" 2>"$dir.err" || STATUS=$?
}

# counts TRACE: "CALL FIRST LAST" for each kind of call in the strace log
# TRACE: the invocations before main (those of the C library's start-up)
# plus one, and all of them.
counts() {
  awk '
    / rt_sigaction\(SIGPIPE, \{sa_handler=SIG_IGN/ { in_main = 1 }
    match($0, /^[0-9]+ +[a-z0-9_]+\(/) {
      call = substr($0, RSTART, RLENGTH - 1); sub(/^[0-9]+ +/, "", call)
      total[call]++
      if (!in_main) before[call]++
    }
    END { for (call in total) print call, before[call] + 1, total[call] }
  ' "$1" | sort
}

# check_faulty LABEL DIR: the invariants after a run on DIR with a fault.
check_faulty() {
  local label=$1 dir=$2 path
  case $STATUS in
    0 | 1 | 2) ;;
    *) fail "$label: status $STATUS"; sed 's/^/  /' "$dir.err" >&2 ;;
  esac
  state "$dir" >"$HELPER_DIR/state"
  # A temporary name may stay only where its failed removal is told; the
  # next run removes it.
  : >"$HELPER_DIR/told"
  for path in $(sed -n 's|^[df] \([^ ]*/\.kalvern-[^ ]*\).*|\1|p' "$HELPER_DIR/state"); do
    if grep -qF "Fehler beim Löschen von \"$path" "$dir.err"; then
      printf '%s\n' "$path" >>"$HELPER_DIR/told"
    else
      fail "$label: a temporary file is left: $path"
    fi
  done
  grep -vF -f "$HELPER_DIR/told" "$HELPER_DIR/state" | contents - | awk -v label="$label" '
    NR == FNR { allowed[$0] = 1; next }
    !($0 in allowed) { print label ": " $1 " holds neither its old bytes nor its new ones" }
  ' "$ALLOWED" - >"$HELPER_DIR/wrong"
  if [ -s "$HELPER_DIR/wrong" ]; then fail "$(cat "$HELPER_DIR/wrong")"; fi
  if ! cmp -s "$HELPER_DIR/state" "$CLEAN_STATE"; then
    [ -s "$dir.err" ] || fail "$label: the trees differ from the clean run's, and no error says why"
    [ "$STATUS" != 0 ] || fail "$label: the trees differ from the clean run's, status 0"
  fi
  # Every file gone has its line, unless standard output itself failed;
  # every line stands for a file or directory gone.
  if ! grep -q '^kalvern Fehler - Ausgabe nicht möglich' "$dir.err"; then
    while read -r path; do
      if [ ! -e "$dir/$path" ] && ! grep -qxF "'$path' wurde entfernt" "$dir.out"; then
        fail "$label: $path is gone without its line"
      fi
    done <"$HELPER_DIR/files"
  fi
  while read -r path; do
    if [ -e "$dir/$path" ]; then fail "$label: $path has a deletion line but stands"; fi
  done < <(sed -n "s/^'\(.*\)' wurde entfernt$/\1/p; s/^Ordner \"\(.*\)\" wurde entfernt$/\1/p" "$dir.out")
}

# The trees lie on a tmpfs where one can be mounted: its fsync costs
# nothing, which makes the runs a third as long.
WORK=$TEST_TMP/work
mkdir -p "$WORK"
if mount -t tmpfs -o size=16m kalvern-test "$WORK" 2>/dev/null; then
  trap 'status=$?; umount "$WORK"; (exit $status); cleanup' EXIT
fi
make_trees "$WORK/template"
state "$WORK/template" >"$HELPER_DIR/state"
contents "$HELPER_DIR/state" >"$HELPER_DIR/allowed"
ALLOWED=$HELPER_DIR/allowed
(cd "$WORK/template" && find L R -type f) >"$HELPER_DIR/files"
RUNS=0
for answer in b l r; do
  clean=$WORK/clean-$answer
  cp -a "$WORK/template" "$clean"
  run_traced "$clean" "$answer" -o "$clean.trace"
  [ "$STATUS" = 0 ] || { fail "clean run with $answer: status $STATUS"; continue; }
  CLEAN_STATE=$HELPER_DIR/clean-$answer
  state "$clean" >"$CLEAN_STATE"
  dir=$WORK/faulty
  while read -r call first last; do
    if listed "$call" "$RUNTIME"; then continue; fi
    errors=EIO
    if listed "$call" "$WRITING"; then errors="$errors ENOSPC"; fi
    if listed "$call" "$INTERRUPTIBLE"; then errors="$errors EINTR"; fi
    if listed "$call" "$REFUSABLE"; then errors="$errors EPERM"; fi
    for error in $errors; do
      for ((n = first; n <= last; n++)); do
        rm -rf "$dir"
        cp -a "$WORK/template" "$dir"
        run_traced "$dir" "$answer" -o /dev/null -e trace="$call" \
          -e inject="$call:error=$error:when=$n"
        check_faulty "answer $answer, $call failing with $error at call $n" "$dir"
        RUNS=$((RUNS + 1))
      done
    done
  done < <(counts "$clean.trace")
done
echo "$RUNS runs with a failing call" >&2
