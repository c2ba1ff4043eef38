# Other local users who write into the trees gain nothing from a run of
# root's.  Each row is an attack: root runs `kalvern -c 30 L R` in a fresh
# directory, and mallory (uid 4100, in the group staff, 4200) prepares the
# trees before the scan or changes them while the first question waits; bob
# (uid 4300) owns files that she is after.  Each row checks the exit status,
# the whole of standard error, the entries listed, the lines of the changes
# made and what the trees hold afterwards, and that a secret of root's
# outside the trees stays as it was.  In the rows on directories the trees
# hold a directory of root's that the group staff may write into, not
# sticky; bob's private directories are there, and hers.
# shellcheck disable=SC2034,SC2059,SC2164
. "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: only root can act as other users" >&2
  exit 77
fi
need_tool setpriv util-linux
need_tool pgrep procps
need_tool strace strace

mallory() { setpriv --reuid=4100 --regid=4100 --groups=4200 -- "$@"; }
bob() { setpriv --reuid=4300 --regid=4300 --groups=4200 -- "$@"; }

NOT_OLDER='Fehler beim Kopieren von "%s" nach "%s": Ziel ist nicht älter als die Quelle\n'
CHANGED='Fehler beim Kopieren von "%s" nach "%s": Quelle wurde während des Kopierens geändert\n'
EXISTS='Fehler beim Erstellen von "%s": File exists\n'
NO_LEFTOVER='Fehler beim Löschen von "%s": kein Überbleibsel eines Abgleichs\n'
GONE='Fehler beim Löschen von "%s": Verzeichnis wurde seit dem Vergleich ausgetauscht\n'
FOREIGN='Fehler beim Kopieren von "%s" nach "%s": Zielverzeichnis gehört einem anderen Benutzer\n'
REPLACED='Fehler beim Kopieren von "%s" nach "%s": Verzeichnis wurde seit dem Vergleich ausgetauscht\n'
T=1500000000

# No run may hang: each ends after 20 seconds at the latest (status 124).
# Where BEFORE_SCAN names a command, it runs with the run's process id
# before the program starts.
export REAL_KALVERN=$KALVERN MARKER=$TEST_TMP/marker HELPER_DIR
TIMED=$HELPER_DIR/timed
cat >"$TIMED" <<'EOF'
#!/bin/bash
exec timeout -k 5 20 bash -c '[ -z "${BEFORE_SCAN:-}" ] || "$BEFORE_SCAN" $$
  exec "$@"' - "$REAL_KALVERN" "$@"
EOF
# plant PID: mallory fills R with 150 temporary names of the process PID:
# symbolic links to root's secret, files and FIFOs.
PLANT=$HELPER_DIR/plant
cat >"$PLANT" <<'EOF'
#!/bin/bash
setpriv --reuid=4100 --regid=4100 --groups=4200 -- bash -c 'for k in $(seq 0 149); do
  name=R/.kalvern-$1-$k.tmp
  case $((k % 3)) in 0) ln -s "$MARKER" "$name" ;; 1) echo junk >"$name" ;; 2) mkfifo "$name" ;; esac
done' - "$1"
ls -A R | grep -c "^\.kalvern-$1-" >"$HELPER_DIR/planted"
EOF
# The same run slowed: each directory it makes is held back after mkdir.
SLOWED=$HELPER_DIR/slowed
cat >"$SLOWED" <<'EOF'
#!/bin/bash
exec timeout -k 5 20 strace -o /dev/null -f -e trace=mkdirat \
  -e inject=mkdirat:delay_exit=300000 "$REAL_KALVERN" "$@"
EOF
# The same run slowed: each file or directory it opens is held back.
SLOW_OPEN=$HELPER_DIR/slow_open
cat >"$SLOW_OPEN" <<'EOF'
#!/bin/bash
exec timeout -k 5 20 strace -o /dev/null -f -e trace=openat \
  -e inject=openat:delay_exit=3000 "$REAL_KALVERN" "$@"
EOF
# exchange A B PID: says "started", then swaps A and B (renameat2,
# RENAME_EXCHANGE) over and over while process PID lives; then prints the
# number of swaps.
EXCHANGE=$HELPER_DIR/exchange
cat >"$EXCHANGE.c" <<'EOF'
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>
int main(int argc, char** argv) {
  long swaps = 0;
  pid_t pid = argc == 4 ? (pid_t)atol(argv[3]) : 0;
  printf("started\n");
  fflush(stdout);
  while (pid > 0 && (kill(pid, 0) == 0 || errno == EPERM)) {
    if (syscall(SYS_renameat2, AT_FDCWD, argv[1], AT_FDCWD, argv[2], 2) == 0) swaps++;
  }
  printf("%ld\n", swaps);
  return 0;
}
EOF
cc -O2 -o "$EXCHANGE" "$EXCHANGE.c"
chmod 0755 "$TIMED" "$PLANT" "$SLOWED" "$SLOW_OPEN" "$HELPER_DIR"

printf 'root only\n' >"$MARKER" && chmod 0600 "$MARKER"
MARKER_STATE=$(stat -c '%i %a %u:%g %s %Y' "$MARKER")
check_marker() {
  if [ "$(stat -c '%i %a %u:%g %s %Y' "$MARKER")" != "$MARKER_STATE" ] ||
    [ "$(cat "$MARKER")" != 'root only' ]; then fail "$ROW: $MARKER changed"; fi
}

# said LINE: the last run wrote LINE on standard output (where the answer
# to the first question ended its line, right after the question).
said() {
  sed 's/^Möchten Sie die Verzeichnisse abgleichen (j\/n)? //' "$OUT" | grep -Fxq -- "$1" ||
    fail "$ROW: no line '$1' on standard output"
}
# is PATH FORMAT WHAT [TEXT]: stat -c FORMAT of PATH prints WHAT, and the
# file holds exactly TEXT, where given.
is() {
  local got
  got=$(stat -c "$2" -- "$1" 2>&1) || true
  [ "$got" = "$3" ] || fail "$ROW: $1 is '$got', expected '$3'"
  [ $# -lt 4 ] && return
  got=$(cat -- "$1" 2>&1) || true
  [ "$got" = "$4" ] || fail "$ROW: $1 holds '$got', not '$4'"
}
# empty DIR: nothing in DIR.
empty() { [ -z "$(ls -A "$1")" ] || fail "$ROW: left in $1: $(ls -A "$1" | xargs)"; }
# run_pid: the process id of the run in the current directory.
run_pid() {
  local p
  for p in $(pgrep -x kalvern); do [ "$(readlink "/proc/$p/cwd")" != "$PWD" ] || echo "$p"; done
}

# Mallory plants a file of the bytes and time of root's set-uid program in
# the sticky R/share; r would take it for the program's copy.  The copy must
# be written afresh, and hers must not become root's program.
setup_taken() {
  mkdir -p L/share R/share && chmod 1777 R/share
  make_file L/share/prog $T 'a program' && chmod 4755 L/share/prog
  mallory sh -c "printf 'a program' >R/share/planted && touch -d @$T R/share/planted"
  PLANTED=$(stat -c %i R/share/planted)
}
after_taken() {
  said 'L/share/prog -> R/share/prog' && said "'R/share/planted' wurde entfernt"
  is R/share/prog '%u:%g %a %h' '0:0 4755 1' 'a program'
  [ "$(stat -c %i R/share/prog)" != "$PLANTED" ] || fail "$ROW: her file became root's program"
  [ ! -e R/share/planted ] || fail "$ROW: R/share/planted is left"
}

# Her own program, set-gid staff: she may plant a file of its bytes, time,
# owner and group, but a set-gid copy still gets an inode of its own.
setup_setgid() {
  mkdir -p L/share R/share && chmod 1777 R/share
  make_file L/share/tool $T 'a tool' && chown 4100:4200 L/share/tool && chmod 2755 L/share/tool
  mallory sh -c "printf 'a tool' >R/share/mine && chgrp 4200 R/share/mine &&
    chmod 0755 R/share/mine && touch -d @$T R/share/mine"
  PLANTED=$(stat -c %i R/share/mine)
}
after_setgid() {
  said 'L/share/tool -> R/share/tool' && said "'R/share/mine' wurde entfernt"
  is R/share/tool '%u:%g %a %h' '4100:4200 2755 1' 'a tool'
  [ "$(stat -c %i R/share/tool)" != "$PLANTED" ] || fail "$ROW: her file was made set-gid"
}

# The older target, writable by staff, holds the source's bytes already;
# kept, it would become root's set-uid program while she may still hold it
# open for writing.
setup_kept() {
  mkdir -p L R
  make_file L/t 2000000000 'a program' && chmod 4755 L/t
  make_file R/t 1000000000 'a program' && chown 0:4200 R/t && chmod 0664 R/t
  KEPT=$(stat -c %i R/t)
}
after_kept() {
  said 'L/t -> R/t' && is R/t '%u:%g %a %h' '0:0 4755 1' 'a program'
  [ "$(stat -c %i R/t)" != "$KEPT" ] || fail "$ROW: the group-writable file became set-uid"
}

# In a directory staff may write to, she moves bob's older file aside and
# her own to its name: the update must neither replace hers nor hand her
# root's bytes.
setup_swapped() {
  mkdir -p L/staff R/staff && chown 0:4200 R/staff && chmod 0775 R/staff
  make_file L/staff/b 2000000000 "root's"
  bob sh -c "printf \"bob's\" >R/staff/b && touch -d @1000000000 R/staff/b"
  mallory sh -c "printf \"mallory's\" >R/staff/m && touch -d @$T R/staff/m"
  cp -p R/staff/m L/staff/m
  BOBS=$(stat -c %i R/staff/b) HERS=$(stat -c %i R/staff/m)
}
at_swapped() { mallory sh -c 'cd R/staff && mv b tmp && mv m b'; }
after_swapped() {
  is R/staff/b '%i %u %a' "$HERS 4100 644" "mallory's"
  is R/staff/tmp '%i %u %a' "$BOBS 4300 644" "bob's"
  [ "$(ls -A R/staff | xargs)" = 'b tmp' ] || fail "$ROW: R/staff holds $(ls -A R/staff | xargs)"
}

# In her own directory she puts another file, or a FIFO, at the name of a
# one-sided file that was scanned.
setup_source() {
  mkdir -p L/pub R && chown 4100:4100 L/pub && chmod 0777 L/pub
  mallory sh -c "printf scanned >L/pub/x && touch -d @$T L/pub/x"
}
at_source() { mallory sh -c "cd L/pub && printf 'swapped in' >y && touch -d @$T y && mv y x"; }
after_source() { is L/pub/x '%u %F' '4100 regular file' 'swapped in' && empty R; }
setup_fifo() { setup_source; }
at_fifo() { mallory sh -c 'cd L/pub && rm x && mkfifo x'; }
after_fifo() {
  is L/pub/x '%u %F' '4100 fifo' && empty R
  # The run let go of both trees: the next one synchronises them.
  rm L/pub/x && mallory sh -c 'printf plain >L/pub/x'
  printf 'j\nr\n' >"$HELPER_DIR/answers"
  KALVERN=$TIMED run_kalvern --stdin "$HELPER_DIR/answers" -- -c 30 L R
  check_status 0 "$ROW, the run after it"
  check_same "$EMPTY" "$ERR" "stderr of $ROW, the run after it"
  said 'L/pub/x -> R/pub/x' && is R/pub/x '%u' 4100 plain
}

# The directory that bob's private file needs on the right is made by her,
# open to all, before the copy makes it.
setup_madedir() {
  mkdir -p L/share R/share && chmod 1777 R/share
  make_file L/share/bob/f $T "bob's letter"
  chown -R 4300:4300 L/share/bob && chmod 0700 L/share/bob && chmod 0600 L/share/bob/f
}
at_madedir() { mallory mkdir -m 0777 R/share/bob; }
after_madedir() { is R/share/bob '%u %a' '4100 777' && empty R/share/bob; }

# She fills the target directory with temporary names of the run's process
# id, more than a run would try in turn: before the scan, when the run must
# clear them, or while the question waits, when it must still copy.
# Her files go before the scan; her links and FIFOs, which no run leaves,
# stay and are reported.
setup_planted() { mkdir L R && chmod 1777 R && make_file L/f $T 'the file'; }
after_planted() {
  after_crowded
  # shellcheck disable=SC2046
  printf "$NO_LEFTOVER" $(find R -name '.kalvern-*' ! -type f) | sort >"$HELPER_DIR/left"
  sort "$ERR" | check_same "$HELPER_DIR/left" - "stderr of $ROW"
  left=$(find L R -name '.kalvern-*' -printf '%y\n' | sort | uniq -c | xargs)
  [ "$left" = '50 l 50 p' ] || fail "$ROW: temporary names left (count and type: $left)"
}
setup_crowded() { setup_planted; }
at_crowded() { "$PLANT" "$(run_pid)"; }
after_crowded() {
  [ "$(cat "$HELPER_DIR/planted")" = 150 ] || fail "$ROW: the names were not planted"
  said 'L/f -> R/f' && is R/f '%u:%g %a' '0:0 644' 'the file'
}

# Bob's directory, writable by staff and sticky, lies outside the trees;
# she moves it to a temporary name at R's root before the scan, or below R
# in place of a file of hers that the scan passed over while the question
# waits.  It is no run's: it stays, with his letter.
make_bobs_dir() {
  mkdir -p L R/staff S && chown 0:4200 R R/staff S && chmod 0775 R R/staff S
  make_file L/f $T 'the file' && make_file S/bob/letter $T "bob's letter"
  chown -R 4300:4200 S/bob && chmod 1775 S/bob && chmod 0600 S/bob/letter
}
setup_notours() { make_bobs_dir && mallory mv S/bob R/.kalvern-1-1.tmp; }
after_notours() {
  said 'L/f -> R/f' && is R/f '%u:%g %a' '0:0 644' 'the file'
  is "${HOLD:-R}/.kalvern-1-1.tmp" '%u:%g %a' '4300:4200 1775'
  is "${HOLD:-R}/.kalvern-1-1.tmp/letter" '%u %a' '4300 600' "bob's letter"
}
setup_notours_at() { make_bobs_dir && mallory sh -c 'printf mine >R/staff/.kalvern-1-1.tmp'; }
at_notours_at() { mallory sh -c 'rm R/staff/.kalvern-1-1.tmp && mv S/bob R/staff/.kalvern-1-1.tmp'; }
after_notours_at() { HOLD=R/staff after_notours; }
# At the question she moves the directory of her leftover name away and
# makes another in its place: the leftover is not looked for in hers.
setup_staffgone() { setup_notours_at; }
at_staffgone() { mallory sh -c 'mv R/staff R/gone && mkdir R/staff'; }
after_staffgone() {
  said 'L/f -> R/f' && is R/f '%u:%g %a' '0:0 644' 'the file'
  is R/gone/.kalvern-1-1.tmp '%u' 4100 'mine'
}

# team DIR...: directories of root's that staff may write into, not sticky.
team() { mkdir -p "$@" && chown 0:4200 "$@" && chmod 0775 "$@"; }
# private OWNER DIR...: DIR and what it holds belong to OWNER (uid and
# group), DIR private (0700), its files 0600.
private() {
  local owner=$1
  shift
  chown -R "$owner:$owner" "$@" && chmod 0700 "$@" && find "$@" -type f -exec chmod 0600 {} +
}
# holds DIR NAMES: DIR holds exactly NAMES (sorted, separated by spaces).
holds() { [ "$(ls -A "$1" | xargs)" = "$2" ] || fail "$ROW: $1 holds '$(ls -A "$1" | xargs)', not '$2'"; }
# no_acl PATH...: no extended ACL on any PATH or below it.
no_acl() { [ -z "$(getfacl -Rsp "$@" 2>/dev/null)" ] || fail "$ROW: ACLs under $*: $(getfacl -Rsp "$@")"; }
# only_lines PATTERN: every line on standard error matches the extended
# regular expression PATTERN.
only_lines() {
  ! grep -Evx -- "$1" "$ERR" >/dev/null || fail "$ROW: unexpected error lines: $(grep -Evx -- "$1" "$ERR")"
}
# by_inode INODE: the path below . of the file with inode INODE.
by_inode() { find . -inum "$1" -printf '%P\n'; }

# Before bob's private L/team/bob is first mirrored, she makes R/team/bob
# with a file of hers in it: neither his letter goes into her directory,
# nor her file into his.
setup_squatted() {
  team L/team R/team
  make_file L/team/bob/letter $T "bob's letter" && private 4300 L/team/bob
  mallory sh -c "mkdir -m 0777 R/team/bob && printf 'alias ls=evil' >R/team/bob/.bash_aliases &&
    touch -d @$T R/team/bob/.bash_aliases"
}
after_squatted() {
  is L/team/bob '%u %a' '4300 700' && holds L/team/bob letter
  is R/team/bob '%u %a' '4100 777' && holds R/team/bob .bash_aliases
}

# Her squatted directory has a default ACL that lets her in: a new letter,
# a set-uid program, a directory and an update of bob's would all carry it.
setup_acl() {
  team L/team R/team
  make_file L/team/bob/letter $T "bob's letter"
  make_file L/team/bob/prog $T 'a program'
  make_file L/team/bob/sub/f $T 'below'
  make_file L/team/bob/upd 2000000000 'new bytes'
  private 4300 L/team/bob L/team/bob/sub && chmod 4775 L/team/bob/prog
  mallory sh -c "mkdir -m 0777 R/team/bob && setfacl -d -m u:4100:rwx R/team/bob &&
    printf 'old bytes' >R/team/bob/upd && touch -d @1000000000 R/team/bob/upd"
  UPD=$(stat -c '%i %u %a' R/team/bob/upd)
}
after_acl() {
  is R/team/bob '%u %a' '4100 777' && holds R/team/bob upd
  is R/team/bob/upd '%i %u %a' "$UPD" 'old bytes'
  holds L/team/bob 'letter prog sub upd' && is L/team/bob/prog '%u %a' '4300 4775' 'a program'
  no_acl L
}

# At the question she swaps her R/team/mal with bob's private R/team/bob,
# both seen by the scan: his new letter does not go into hers, nor her new
# file into his.
setup_exchanged() {
  team L/team R/team
  make_file L/team/bob/old $T "bob's" && make_file L/team/bob/letter $T "bob's new letter"
  make_file R/team/bob/old $T "bob's" && private 4300 L/team/bob R/team/bob
  make_file L/team/mal/mine $T 'hers' && make_file R/team/mal/mine $T 'hers'
  make_file R/team/mal/new $T 'her new file' && chown -R 4100:4100 L/team/mal R/team/mal
  BOBS=$(stat -c %i R/team/bob) HERS=$(stat -c %i R/team/mal)
}
at_exchanged() { mallory sh -c 'cd R/team && mv bob tmp && mv mal bob && mv tmp mal'; }
after_exchanged() {
  is R/team/mal '%i %u %a' "$BOBS 4300 700" && holds R/team/mal old
  is R/team/bob '%i %u %a' "$HERS 4100 755" && holds R/team/bob 'mine new'
  holds L/team/bob 'letter old' && holds L/team/mal mine
}

# While the run makes R/team/bob for the new files of bob's L/team/bob,
# she swaps that directory with her empty L/team/mal over and over: no
# directory made takes her as its owner, none of bob's files goes into one
# of hers, and only what the scan saw is copied.
setup_flipped() {
  team L/team R/team
  local i
  for i in $(seq 1 30); do make_file "L/team/bob/f$i" $T "bob's $i"; done
  chown -R 4300:4300 L/team/bob
  mkdir L/team/mal && chown 4100:4100 L/team/mal
  BOBS=$(stat -c %i L/team/bob) HERS=$(stat -c %i L/team/mal)
}
FLIPPED=$(seq -f 'only-left:team/bob/f%g' -s, 1 30)
# swapping A B: she swaps A and B while the run lives, from now on.
swapping() {
  : >"$HELPER_DIR/swaps"
  mallory "$EXCHANGE" "$1" "$2" "$(run_pid)" >>"$HELPER_DIR/swaps" &
  local i
  for i in $(seq 1 500); do [ ! -s "$HELPER_DIR/swaps" ] || break; sleep 0.01; done
}
at_flipped() { swapping L/team/bob L/team/mal; }
after_flipped() {
  wait
  [ "$(tail -n 1 "$HELPER_DIR/swaps")" -gt 0 ] || fail "$ROW: no swap made"
  is "$(by_inode "$BOBS")" '%u %a' '4300 755' && is "$(by_inode "$HERS")" '%u %a' '4100 755'
  [ "$(ls -A "$(by_inode "$BOBS")" | wc -l)" = 30 ] || fail "$ROW: bob's files moved"
  [ -z "$(ls -A "$(by_inode "$HERS")")" ] || fail "$ROW: her directory is not empty"
  holds R team && holds R/team "$(ls -A R/team | grep -x bob || true)"
  if [ -e R/team/bob ]; then
    is R/team/bob '%u %a' '4300 755'
    [ -z "$(find R/team/bob -mindepth 1 ! -user 4300)" ] || fail "$ROW: $(find R/team/bob ! -user 4300)"
    for f in R/team/bob/*; do [ ! -e "$f" ] || is "$f" '%a' 644 "bob's ${f##*/f}"; done
  fi
  only_lines 'Fehler beim Kopieren von "L/team/bob/f[0-9]+" nach "R/team/bob/f[0-9]+": Verzeichnis wurde seit dem Vergleich ausgetauscht'

  no_acl R
}

# Right after the run makes R/team/new for her new files, she swaps it with
# bob's private R/team/bob over and over: his directory is never given to
# her, and his secret stays.
setup_swapmade() {
  team L/team R/team && chmod 2775 R/team
  make_file L/team/new/f1 $T 'hers 1' && make_file L/team/new/f2 $T 'hers 2'
  chown -R 4100:4100 L/team/new
  make_file L/team/bob/secret.txt $T 'secret' && make_file R/team/bob/secret.txt $T 'secret'
  private 4300 L/team/bob R/team/bob
  BOBS=$(stat -c %i R/team/bob) BOB_MODE=$(stat -c %a R/team/bob)
}
at_swapmade() { swapping R/team/new R/team/bob; }
after_swapmade() {
  wait
  [ "$(tail -n 1 "$HELPER_DIR/swaps")" -gt 0 ] || fail "$ROW: no swap made"
  local bobs
  bobs=$(by_inode "$BOBS")
  is "$bobs" '%u:%g %a' "4300:4300 $BOB_MODE" && holds "$bobs" secret.txt
  is "$bobs/secret.txt" '%u %a' '4300 600' 'secret'
  holds R/team "$(ls -A R/team | grep -Ex 'bob|new' | xargs)"
  # The directory made holds only her files, whichever name it ended at.
  local made=R/team/new
  [ "$bobs" != R/team/new ] || made=R/team/bob
  [ ! -e "$made" ] || [ -z "$(find "$made" -mindepth 1 ! -user 4100)" ] ||
    fail "$ROW: $(find "$made" ! -user 4100)"
  only_lines 'Fehler beim Kopieren von "L/team/new/f[12]" nach "R/team/new/f[12]": Verzeichnis wurde seit dem Vergleich ausgetauscht|Fehler beim Erstellen von "R/team/new": File exists'

  no_acl R
}

# At the question she renames bob's public R/team/pub, which the scan saw,
# to R/team/bob, where his private L/team/bob needs a directory, makes her
# own R/team/mine with a default ACL that lets her in, and swaps the two
# over and over: none of his files goes into hers.
setup_found() {
  team L/team R/team
  local i
  for i in $(seq 1 30); do make_file "L/team/bob/f$i" $T "bob's $i"; done
  private 4300 L/team/bob
  mkdir R/team/pub && chown 4300:4300 R/team/pub && BOBS=$(stat -c %i R/team/pub)
}
at_found() {
  mallory sh -c 'cd R/team && mv pub bob && mkdir -m 0777 mine && setfacl -d -m u:4100:rwx mine'
  HERS=$(stat -c %i R/team/mine)
  swapping R/team/bob R/team/mine
}
after_found() {
  wait
  [ "$(tail -n 1 "$HELPER_DIR/swaps")" -gt 0 ] || fail "$ROW: no swap made"
  local bobs hers f
  bobs=$(by_inode "$BOBS") hers=$(by_inode "$HERS")
  is "$hers" '%u %a' '4100 777' && holds "$hers" ''
  is "$bobs" '%u %a' '4300 755' && holds R/team 'bob mine' && no_acl "$bobs"
  for f in "$bobs"/*; do [ ! -e "$f" ] || is "$f" '%u %a' '4300 600' "bob's ${f##*/f}"; done
  only_lines 'Fehler beim Erstellen von "R/team/bob": File exists|Fehler beim Kopieren von "L/team/bob/f[0-9]+" nach "R/team/bob/f[0-9]+": Verzeichnis wurde seit dem Vergleich ausgetauscht'
  [ "$STATUS" = "$([ -s "$ERR" ] && echo 2 || echo 0)" ] || fail "$ROW: status $STATUS"
}

# The rows: name, the answer to the second question ("-": none is asked),
# the exit status ("*": after_NAME checks it), the message on standard error
# ("-": none; "@" or "*": after_NAME checks it; else its format and paths,
# separated by "|", compared as sorted lines) and the entries
# listed (as listed_entries prints them, ":" for the space, "," between
# them).  Functions: setup_NAME before the run, at_NAME (if any) at the
# first question, after_NAME.
ROWS=(
  "taken r 0 - only-left:share/prog,only-right:share/planted"
  "setgid r 0 - only-left:share/tool,only-right:share/mine"
  "kept - 0 - newer-left:t"
  "swapped - 2 NOT_OLDER|L/staff/b|R/staff/b newer-left:staff/b"
  "source r 2 CHANGED|L/pub/x|R/pub/x only-left:pub/x"
  "fifo b 2 CHANGED|L/pub/x|R/pub/x only-left:pub/x"
  "madedir r 2 EXISTS|R/share/bob only-left:share/bob/f"
  "planted r 2 @ only-left:f"
  "crowded r 0 - only-left:f"
  "notours b 2 NO_LEFTOVER|R/.kalvern-1-1.tmp only-left:f"
  "notours_at b 2 NO_LEFTOVER|R/staff/.kalvern-1-1.tmp only-left:f"
  "staffgone b 2 GONE|R/staff/.kalvern-1-1.tmp only-left:f"
  "squatted b 2 FOREIGN|L/team/bob/letter|R/team/bob/letter|R/team/bob/.bash_aliases|L/team/bob/.bash_aliases only-left:team/bob/letter,only-right:team/bob/.bash_aliases"
  "acl r 2 FOREIGN|L/team/bob/letter|R/team/bob/letter|L/team/bob/prog|R/team/bob/prog|L/team/bob/sub/f|R/team/bob/sub/f|L/team/bob/upd|R/team/bob/upd newer-left:team/bob/upd,only-left:team/bob/letter,only-left:team/bob/prog,only-left:team/bob/sub/f"
  "exchanged b 2 REPLACED|L/team/bob/letter|R/team/bob/letter|R/team/mal/new|L/team/mal/new only-left:team/bob/letter,only-right:team/mal/new"
  "flipped r * * $FLIPPED"
  "swapmade r * * only-left:team/new/f1,only-left:team/new/f2"
  "found b * * $FLIPPED"
)
for row in "${ROWS[@]}"; do
  read -r ROW answer status error listed <<<"$row"
  mkdir "$TEST_TMP/$ROW" && cd "$TEST_TMP/$ROW"
  "setup_$ROW"
  input='j\n'
  [ "$answer" = - ] || input+="$answer\\n"
  rm -f "$HELPER_DIR/planted"
  [ "$ROW" = planted ] && export BEFORE_SCAN=$PLANT
  runner=$TIMED
  case $ROW in flipped | swapmade) runner=$SLOWED ;; found) runner=$SLOW_OPEN ;; esac
  if declare -F "at_$ROW" >/dev/null; then
    KALVERN=$runner run_paused . "at_$ROW" "$input" -- -c 30 L R
  else
    printf "$input" >"$HELPER_DIR/answers"
    KALVERN=$TIMED run_kalvern --stdin "$HELPER_DIR/answers" -- -c 30 L R
  fi
  unset BEFORE_SCAN
  # Where the run races her, its status and lines are checked afterwards.
  [ "$status" = '*' ] || check_status "$status" "$ROW"
  IFS='|' read -r -a words <<<"$error"
  message=$EMPTY
  case $error in -|'*'|@) ;; *) message=$(expected "${!words[0]}" "${words[@]:1}") ;; esac
  sort "$ERR" >"$HELPER_DIR/err.sorted" && sort "$message" >"$HELPER_DIR/err.expected"
  # "*" and "@": after_NAME checks the lines itself.
  [ "$error" = '*' ] || [ "$error" = @ ] ||
    check_same "$HELPER_DIR/err.expected" "$HELPER_DIR/err.sorted" "stderr of $ROW"
  listed_entries "$OUT" | sort >"$HELPER_DIR/listed"
  # A listing too long for its row is named by a variable.
  [[ $listed != \$* ]] || listed=${!listed#\$}
  tr ':,' ' \n' <<<"$listed" | sort >"$HELPER_DIR/listed.expected"
  check_same "$HELPER_DIR/listed.expected" "$HELPER_DIR/listed" "entries of $ROW"
  "after_$ROW"
  check_marker
  cp "$OUT" "$ERR" . && cd "$TEST_TMP"
done

# With l, root's file in the private L/priv is held for the copy of its twin
# from the private R/other into L.  Each rename is slowed down; while the
# file is held, mallory tries to read every file that root sees below L at
# or in a temporary name, and whatever her own search finds.  Then the run is killed, and the next one clears what
# the killed one held.
ROW=held
mkdir "$TEST_TMP/$ROW" && cd "$TEST_TMP/$ROW"
mkdir -p L/priv R/other && chmod 0700 L/priv R/other
make_file L/priv/f $T 'root-only bytes' && cp -p L/priv/f R/other/f2
printf 'l\n' >"$HELPER_DIR/answers"
(strace -o /dev/null -f -e trace=renameat2,linkat -e inject=renameat2,linkat:delay_exit=1500000 \
  "$REAL_KALVERN" -y -c 30 L R <"$HELPER_DIR/answers" >"$OUT" 2>"$ERR" || true) 2>/dev/null &
tracer=$!
seen=0 leaked=
for i in $(seq 1 200); do
  for file in $(find L -path '*/.kalvern-*' -type f 2>/dev/null || true); do
    seen=$((seen + 1))
    [ "$(mallory cat "$file" 2>/dev/null)" != 'root-only bytes' ] || leaked=$file
  done
  mallory find L -path '*/.kalvern-*' -type f -exec cat {} + 2>/dev/null |
    grep -Fq 'root-only bytes' && leaked=${leaked:-one she found}
  [ "$seen" -ge 10 ] && break
  sleep 0.05
done
[ -z "$leaked" ] || fail "$ROW: she read the held bytes ($leaked)"
[ "$seen" -gt 0 ] || fail "$ROW: no held file seen below L"
pid=$(run_pid)
if [ -n "$pid" ]; then kill -KILL "$pid"; else fail "$ROW: the run ended before it was killed"; fi
wait "$tracer"
KALVERN=$TIMED run_kalvern --stdin "$HELPER_DIR/answers" -- -y -c 30 L R
check_status 0 "$ROW, the run after the killed one"
check_same "$EMPTY" "$ERR" "stderr of $ROW, the run after the killed one"
said 'R/other/f2 -> L/other/f2' && is L/other/f2 '%u:%g %a' '0:0 644' 'root-only bytes'
left=$(find L R -name '.kalvern-*' | xargs)
[ -z "$left" ] || fail "$ROW: temporary names left: $left"
check_marker
cd "$TEST_TMP"

# Root, with umask 002, copies bob's letter (0640) and his set-uid program
# into R/team, set-gid to staff; each copy is held once its bytes are in,
# while she tries to read and to write every temporary file there.  She
# may read the program once its copy has its final mode (4775), as she may
# read the program itself; never the letter, and never write either.
ROW=private
mkdir "$TEST_TMP/$ROW" && cd "$TEST_TMP/$ROW"
mkdir -p L/team R/team && chown 0:4200 R/team && chmod 2775 R/team
make_file L/team/seen $T && cp -p L/team/seen R/team/seen  # the scan saw R/team
make_file L/team/letter $T "bob's letter" && make_file L/team/prog $T "bob's program"
chown 4300:4300 L/team/* && chmod 0640 L/team/letter && chmod 4775 L/team/prog
printf '#!/bin/bash\numask 002\nexec timeout -k 5 20 strace -o /dev/null -f -e %s -e %s "$REAL_KALVERN" "$@"\n' \
  trace=copy_file_range,pwrite64 inject=copy_file_range,pwrite64:delay_exit=1500000 >"$HELPER_DIR/slowed"
chmod 0755 "$HELPER_DIR/slowed" && printf 'r\n' >"$HELPER_DIR/answers"
(while :; do for file in R/team/.kalvern-*; do
  [ ! -f "$file" ] || echo seen
  content=$(mallory cat "$file" 2>/dev/null) && [ "$content" != "bob's program" ] &&
    echo "read $file: $content"
  mallory dd of="$file" conv=nocreat,notrunc oflag=append status=none <<<evil 2>/dev/null && echo "wrote $file"
done; sleep 0.05; done >"$HELPER_DIR/tries") &
spy=$!
KALVERN=$HELPER_DIR/slowed run_kalvern --stdin "$HELPER_DIR/answers" -- -y -c 30 L R
kill "$spy"; check_status 0 "$ROW"; check_same "$EMPTY" "$ERR" "stderr of $ROW"
grep -q seen "$HELPER_DIR/tries" || fail "$ROW: no temporary file seen"
! grep -v seen "$HELPER_DIR/tries" || fail "$ROW: she opened a temporary file"
said 'L/team/letter -> R/team/letter' && said 'L/team/prog -> R/team/prog'
is R/team/letter '%u:%g %a %h' '4300:4300 640 1' "bob's letter"
is R/team/prog '%u:%g %a %h' '4300:4300 4775 1' "bob's program"
[ "$(ls -A R/team | xargs)" = 'letter prog seen' ] || fail "$ROW: R/team holds $(ls -A R/team | xargs)"
check_marker
