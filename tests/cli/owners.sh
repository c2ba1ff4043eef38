# The mode, owner and group of every copy and every directory made for one,
# run as root (who may give files away) and as an unprivileged user: new
# directories and files copied to the right tree, and updates of older right
# files.  Each source is named for its mode and owner; owners are root (0),
# nobody (65534) and another user (4321), each with the group of its number.
# As root an update also leaves behind the file capability and the trusted
# attributes of the file it replaces, and keeps its user attributes.
. "$(dirname "$0")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: only root can make files of other users" >&2
  exit 77
fi
need_tool setcap libcap2-bin
need_tool getcap libcap2-bin
need_tool setfattr attr
need_tool getfattr attr

ANSWERS=$HELPER_DIR/answers
printf 'j\nb\n' >"$ANSWERS"

# build DIR < ROWS: makes each row "PATH MODE OWNER" below DIR, a directory
# where PATH ends in /, else a file of time SECONDS (the fourth field); then
# gives them their owners and modes, the deepest first.
build() {
  local path mode owner seconds
  mkdir -p "$1"
  while read -r path mode owner seconds; do
    case $path in
      */) mkdir -p "$1/$path" ;;
      *) make_file "$1/$path" "$seconds" ;;
    esac
    printf '%s %s %s\n' "$path" "$mode" "$owner"
  done >"$HELPER_DIR/rows"
  sort -r "$HELPER_DIR/rows" | while read -r path mode owner; do
    chown "$owner:$owner" "$1/$path"
    chmod "$mode" "$1/$path"
  done
}

# files OWNER...: the one-sided files of every mode for each OWNER, and the
# sources of the updates.
files() {
  local mode owner name
  for owner in "$@"; do
    case $owner in 0) name=root ;; 65534) name=nobody ;; *) name=other ;; esac
    for mode in 6755 4755 2755 0644; do
      printf 'f%s.%s %s %s 2000\n' "$mode" "$name" "$mode" "$owner"
    done
  done
  printf '%s 2000\n' 'u6755.root 6755 0' 'u6755.other 6755 4321' \
    'u4755.nobody 4755 65534' 'u4755.other 4755 4321' 'u2755.root 2755 0' \
    'u2755.other 2755 4321' 'u0644.nobody 0644 65534'
}

# updated OWNER: the older right files that the updates replace, of OWNER.
updated() {
  local name
  for name in u6755.root u6755.other u4755.nobody u4755.other u2755.root \
    u2755.other u0644.nobody; do
    printf '%s 0600 %s 1000\n' "$name" "$1"
  done
}

# check_right LABEL EXPECTED: every object below R with its mode, owner and
# group after a synchronisation that ended well.
check_right() {
  check_status 0 "$1"
  [ -s "$ERR" ] && fail "$1: messages: $(cat "$ERR")"
  (cd R && find . -mindepth 1 -printf '%P %m %U %G\n' | sort) >"$HELPER_DIR/got"
  check_same "$2" "$HELPER_DIR/got" "modes and owners $1"
}

# As root, with umask 022: new files and directories take their source's
# owner, group and mode (a directory's less the umask; 0555 once its copies
# are in); updates keep the target's owner, and a set-ID bit only where its
# owner or group is the source's.  R/capprog, a program of root's with a
# file capability, a trusted and a user attribute, is replaced by another
# user's script: it keeps only the user attribute.
{
  printf '%s\n' 'd0700.nobody/ 0700 65534' 'd0700.nobody/f 0644 65534 2000' \
    'd0750.other/ 0750 4321' 'd0750.other/f 0644 4321 2000' \
    'd0755.root/ 0755 0' 'd0755.root/d0750.other/ 0750 4321' \
    'd0755.root/d0750.other/d0555.nobody/ 0555 65534' \
    'd0755.root/d0750.other/d0555.nobody/f 0644 65534 2000' \
    'capprog 0755 4321 2000'
  files 0 65534 4321
} | build L
{
  updated 4321
  printf 'capprog 0755 0 1000\n'
} | build R
setcap cap_net_raw+ep R/capprog
setfattr -n trusted.x -v 1 R/capprog
setfattr -n user.keep -v 1 R/capprog
[ -n "$(getcap R/capprog)" ] || fail "R/capprog got no capability to lose"
(umask 022 && run_kalvern --stdin "$ANSWERS" -- L R)
check_right "as root" "$(expected '%s\n' 'capprog 755 0 0' \
  'd0700.nobody 700 65534 65534' 'd0700.nobody/f 644 65534 65534' \
  'd0750.other 750 4321 4321' 'd0750.other/f 644 4321 4321' \
  'd0755.root 755 0 0' 'd0755.root/d0750.other 750 4321 4321' \
  'd0755.root/d0750.other/d0555.nobody 555 65534 65534' \
  'd0755.root/d0750.other/d0555.nobody/f 644 65534 65534' \
  'f0644.nobody 644 65534 65534' 'f0644.other 644 4321 4321' \
  'f0644.root 644 0 0' 'f2755.nobody 2755 65534 65534' \
  'f2755.other 2755 4321 4321' 'f2755.root 2755 0 0' \
  'f4755.nobody 4755 65534 65534' 'f4755.other 4755 4321 4321' \
  'f4755.root 4755 0 0' 'f6755.nobody 6755 65534 65534' \
  'f6755.other 6755 4321 4321' 'f6755.root 6755 0 0' \
  'u0644.nobody 644 4321 4321' 'u2755.other 2755 4321 4321' \
  'u2755.root 755 4321 4321' 'u4755.nobody 755 4321 4321' \
  'u4755.other 4755 4321 4321' 'u6755.other 6755 4321 4321' \
  'u6755.root 755 4321 4321')"
cmp -s L/capprog R/capprog || fail "R/capprog was not replaced"
[ -z "$(getcap R/capprog)" ] ||
  fail "R/capprog kept its capability: $(getcap R/capprog)"
if getfattr -n trusted.x R/capprog >/dev/null 2>&1; then
  fail "R/capprog kept its trusted attribute"
fi
[ "$(getfattr --only-values -n user.keep R/capprog 2>/dev/null)" = 1 ] ||
  fail "R/capprog lost its user attribute"
rm -rf L R

# As nobody, with umask 027: everything new belongs to nobody; directories
# take their source's mode less the umask, files their source's, a set-ID
# bit only where nobody is the source's owner or group.
{
  printf '%s\n' 'd0700.nobody/ 0700 65534' 'd0700.nobody/f 0644 65534 2000' \
    'd0750.nobody/ 0750 65534' 'd0750.nobody/f 0644 65534 2000' \
    'd0755.root/ 0755 0' 'd0755.root/f 0644 0 2000' \
    'd0755.other/ 0755 4321' 'd0755.other/d0555.nobody/ 0555 65534' \
    'd0755.other/d0555.nobody/f 0644 65534 2000'
  files 0 65534 4321
} | build L
{
  printf './ 0755 65534\n'
  updated 65534
} | build R
(umask 027 && run_kalvern --nobody --stdin "$ANSWERS" -- L R)
check_right "as nobody" "$(expected '%s\n' \
  'd0700.nobody 700 65534 65534' 'd0700.nobody/f 644 65534 65534' \
  'd0750.nobody 750 65534 65534' 'd0750.nobody/f 644 65534 65534' \
  'd0755.other 750 65534 65534' 'd0755.other/d0555.nobody 550 65534 65534' \
  'd0755.other/d0555.nobody/f 644 65534 65534' \
  'd0755.root 750 65534 65534' 'd0755.root/f 644 65534 65534' \
  'f0644.nobody 644 65534 65534' 'f0644.other 644 65534 65534' \
  'f0644.root 644 65534 65534' 'f2755.nobody 2755 65534 65534' \
  'f2755.other 755 65534 65534' 'f2755.root 755 65534 65534' \
  'f4755.nobody 4755 65534 65534' 'f4755.other 755 65534 65534' \
  'f4755.root 755 65534 65534' 'f6755.nobody 6755 65534 65534' \
  'f6755.other 755 65534 65534' 'f6755.root 755 65534 65534' \
  'u0644.nobody 644 65534 65534' 'u2755.other 755 65534 65534' \
  'u2755.root 755 65534 65534' 'u4755.nobody 4755 65534 65534' \
  'u4755.other 755 65534 65534' 'u6755.other 755 65534 65534' \
  'u6755.root 755 65534 65534')"
