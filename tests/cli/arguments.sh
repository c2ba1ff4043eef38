# arguments.sh: the command line, its messages and exit statuses, the
# checks of the two directory arguments before the scan, and the man pages,
# English and German, that describe them.
. "$(dirname "$0")/common.sh"

VERSION=$(expected 'kalvern %s\n' "$KALVERN_VERSION")
USAGE=$(expected 'Usage: kalvern [-v] [-c 5-300] [-y] dir1 dir2\n\n')
NEEDS_NUMBER=$(expected 'kalvern ERROR: -c benötigt eine Zahl (5-300)\n\n')
BAD_NUMBER=$(expected 'kalvern ERROR: -c benötigt eine gültige Zahl (5-300)\n\n')
BAD_RANGE=$(expected 'kalvern ERROR: Wertebereich für -c ist 5-300\n\n')

unknown_option() {
  expected 'kalvern ERROR: Unbekannte Option %s\n\n' "$1"
}
not_found() {
  expected 'kalvern Fehler - Verzeichnis %s nicht gefunden.\n\n' "$1"
}
nested() {
  expected 'kalvern Fehler - Verzeichnis %s liegt innerhalb von %s.\n\n' "$1" "$2"
}

# Two identical trees with three files, and a pair that differs in one file
# that exists only on the left.
make_file same1/a.txt 1000
make_file same1/sub/b.txt 2000
make_file same1/sub/deeper/c.txt 3000
cp -a same1 same2
make_file diff1/only.txt 1000
mkdir diff2

IDENTICAL=$(expected "$(summary 6 3 0 0)$IDENTICAL_MSG")

# The run on diff1 diff2 answered with "n", for column width $1.
declined() {
  expected "\n%s  -  --- fehlt ---\n$(summary 1 0 0 1)$ASK_SYNC$SAID_NO" \
    "$(spaces $(($1 - 8)))only.txt"
}

# --- Version -----------------------------------------------------------------

expect_run 0 "$VERSION" "$EMPTY" -- -v
expect_run 0 "$VERSION" "$EMPTY" -- --version
# Options come before any check of the directories.
expect_run 0 "$VERSION" "$EMPTY" -- -v missing1 missing2
expect_run 0 "$VERSION" "$EMPTY" -- missing1 missing2 --version
expect_run 0 "$VERSION" "$EMPTY" -- same1 same2 -v
expect_run 0 "$VERSION" "$EMPTY" -- -v -x
expect_run 0 "$VERSION" "$EMPTY" -- -v -c 4
expect_run 0 "$VERSION" "$EMPTY" -- -y -c 20 -v
# Left to right: an error before the version request wins.
expect_run 1 "$EMPTY" "$(unknown_option -x)" -- -x -v same1 same2
expect_run 1 "$EMPTY" "$BAD_RANGE" -- -c 4 -v
# The value of -c is taken whatever it looks like.
expect_run 1 "$EMPTY" "$BAD_NUMBER" -- -c -v same1 same2

# --- Column width ---------------------------------------------------------------

# Width 5 cuts the path and the marker.
expect_run 0 "$(expected "\n...xt  -  ...--\n$(summary 1 0 0 1)$ASK_SYNC$SAID_NO")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 5 diff1 diff2
expect_run 0 "$(declined 300)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 300 diff1 diff2
expect_run 0 "$(declined 50)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 050 diff1 diff2
expect_run 0 "$(declined 17)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 17 diff1 diff2
# A later -c replaces an earlier one, also after the directories.
expect_run 0 "$(declined 20)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 300 diff1 diff2 -c 20
expect_run 0 "$IDENTICAL" "$EMPTY" -- -c 5 same1 same2

for value in 4 301 0 00 18446744073709551615; do
  expect_run 1 "$EMPTY" "$BAD_RANGE" -- -c "$value" same1 same2
done
for value in +5 -5 5x 0x10 '' ' 5' '5 ' 5.0 x 99999999999999999999999 18446744073709551616; do
  expect_run 1 "$EMPTY" "$BAD_NUMBER" -- -c "$value" same1 same2
done
expect_run 1 "$EMPTY" "$NEEDS_NUMBER" -- same1 same2 -c
expect_run 1 "$EMPTY" "$NEEDS_NUMBER" -- -c
expect_run 1 "$EMPTY" "$NEEDS_NUMBER" -- -c 20 -c
# The first error ends the processing: nothing after it is looked at.
expect_run 1 "$EMPTY" "$BAD_RANGE" -- -c 4 -x
expect_run 1 "$EMPTY" "$BAD_NUMBER" -- -c x -c 4
expect_run 1 "$EMPTY" "$BAD_RANGE" -- -c 4 missing1
expect_run 1 "$EMPTY" "$BAD_RANGE" -- missing1 missing2 -c 301

# --- Unknown options -----------------------------------------------------------

for option in -x -c50 -yv --vers --version=1 -V -Y -C - -- ---; do
  expect_run 1 "$EMPTY" "$(unknown_option "$option")" -- "$option" same1 same2
  expect_run 1 "$EMPTY" "$(unknown_option "$option")" -- same1 same2 "$option"
done
expect_run 1 "$EMPTY" "$(unknown_option -x)" -- -x -y
expect_run 1 "$EMPTY" "$(unknown_option -q)" -- same1 -q -x same2
expect_run 1 "$EMPTY" "$(unknown_option -x)" -- -x missing1 missing2
expect_run 1 "$EMPTY" "$(unknown_option -x)" -- -x
# A directory whose name begins with "-" cannot be named as it stands.
mkdir -- -dir
expect_run 1 "$EMPTY" "$(unknown_option -dir)" -- -dir same2
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1 same2 -y
expect_run 0 "$IDENTICAL" "$EMPTY" -- -y same1 -c 20 same2

# --- Number of directories -------------------------------------------------------

expect_run 1 "$EMPTY" "$USAGE" --
expect_run 1 "$EMPTY" "$USAGE" -- same1
expect_run 1 "$EMPTY" "$USAGE" -- same1 same2 same1
expect_run 1 "$EMPTY" "$USAGE" -- -y
expect_run 1 "$EMPTY" "$USAGE" -- -c 20 -y same1
expect_run 1 "$EMPTY" "$USAGE" -- missing1
expect_run 1 "$EMPTY" "$USAGE" -- missing1 missing2 missing3
expect_run 1 "$EMPTY" "$USAGE" -- same1 '' same2
expect_run 1 "$EMPTY" "$USAGE" -- ''

# --- Existence of the directories -------------------------------------------------

expect_run 1 "$EMPTY" "$(not_found missing1)" -- missing1 missing2
expect_run 1 "$EMPTY" "$(not_found missing1)" -- missing1 same2
expect_run 1 "$EMPTY" "$(not_found missing2)" -- same1 missing2
expect_run 1 "$EMPTY" "$(not_found missing/)" -- missing/ same2
expect_run 1 "$EMPTY" "$(not_found same1/missing/deeper)" -- same2 same1/missing/deeper
expect_run 1 "$EMPTY" "$(not_found "$TEST_TMP/missing")" -- "$TEST_TMP/missing" same2
# An empty argument names nothing.
expect_run 1 "$EMPTY" "$(not_found '')" -- '' same2
expect_run 1 "$EMPTY" "$(not_found '')" -- same1 ''
# A link that leads nowhere names nothing either.
ln -s missing dangling
expect_run 1 "$EMPTY" "$(not_found dangling)" -- same1 dangling
# A missing directory is reported before a nesting of the two.
expect_run 1 "$EMPTY" "$(not_found same1/sub/missing)" -- same1 same1/sub/missing

# --- Trailing slashes and other spellings of a root --------------------------------

expect_run 0 "$IDENTICAL" "$EMPTY" -- same1 same2
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1/ same2/
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1// same2//
expect_run 0 "$IDENTICAL" "$EMPTY" -- ./same1/. "$TEST_TMP/same2/"
expect_run 0 "$(declined 20)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 20 diff1/ diff2/
expect_run 0 "$(declined 20)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 20 diff1// diff2
expect_run 0 "$(declined 20)" "$EMPTY" --stdin "$ANSWER_NO" -- -c 20 ./diff1 "$TEST_TMP/diff2"

# --- Identical trees ----------------------------------------------------------------

# No question is asked: standard input is not read even when it has lines.
expect_run 0 "$IDENTICAL" "$EMPTY" --stdin "$ANSWER_NO" -- same1 same2
mkdir empty1 empty2
expect_run 0 "$(expected "$(summary 0 0 0 0)$IDENTICAL_MSG")" "$EMPTY" -- empty1 empty2

# Without an answer the dialog ends the prompt's line and gives its message,
# status 0.
expect_run 0 "$(expected "\n%s  -  --- fehlt ---\n$(summary 1 0 0 1)$ASK_SYNC\n" "$(spaces 39)only.txt")" \
  "$(expected "$NO_INPUT")" -- diff1 diff2

# --- The root directory "/" ------------------------------------------------------------

# "/" loses its slash and becomes the empty root, which the scan cannot open.
NO_ROOT=$(expected "FEHLER beim Durchsuchen des Verzeichnisses: '' (No such file or directory)\n\n")
expect_run 1 "$EMPTY" "$NO_ROOT" -- / same2
expect_run 1 "$EMPTY" "$NO_ROOT" -- same1 /
expect_run 1 "$EMPTY" "$NO_ROOT" -- / /
# The left tree is scanned first: its failure is the one reported.
expect_run 1 "$EMPTY" "$(expected "FEHLER beim Durchsuchen des Verzeichnisses: 'same1/a.txt' (Not a directory)\n\n")" \
  -- same1/a.txt /

# --- Nested trees ------------------------------------------------------------------------

expect_run 1 "$EMPTY" "$(nested same1/sub same1)" -- same1 same1/sub
expect_run 1 "$EMPTY" "$(nested same1/sub same1)" -- same1/sub same1
expect_run 1 "$EMPTY" "$(nested same1/sub/deeper same1)" -- same1/sub/deeper same1
expect_run 1 "$EMPTY" "$(nested same1/sub/ same1/)" -- same1/ same1/sub/
expect_run 1 "$EMPTY" "$(nested ./same1/sub/deeper/.. "$TEST_TMP/same1")" \
  -- "$TEST_TMP/same1" ./same1/sub/deeper/..
# Through a link: the resolved paths count.
ln -s same1/sub sublink
expect_run 1 "$EMPTY" "$(nested sublink same1)" -- same1 sublink
ln -s same1 toplink
expect_run 1 "$EMPTY" "$(nested same1/sub toplink)" -- same1/sub toplink
# The check comes before the scan: an unreadable directory is not reached.
mkdir same1/sub/locked
chmod 000 same1/sub/locked
expect_run 1 "$EMPTY" "$(nested same1/sub same1)" --nobody -- same1/sub same1
chmod 755 same1/sub/locked
rmdir same1/sub/locked
# A common prefix of the names is no nesting.
cp -a same1 same1x
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1 same1x
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1x same1
# The same directory twice is allowed, however it is spelled.
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1 same1
expect_run 0 "$IDENTICAL" "$EMPTY" -- same1 ./same1/
expect_run 0 "$IDENTICAL" "$EMPTY" -- toplink same1
expect_run 0 "$IDENTICAL" "$EMPTY" -- "$TEST_TMP/same1" same1/sub/..

# --- Directories the user may not reach ----------------------------------------------------

mkdir -p closed/inner
cp -a same1/. closed/inner/
chmod 0644 closed
EACCES='Permission denied'
expect_run 1 "$EMPTY" \
  "$(expected 'kalvern Fehler - Verzeichnis %s nicht zugänglich (%s).\n\n' closed/inner "$EACCES")" \
  --nobody -- closed/inner same2
expect_run 1 "$EMPTY" \
  "$(expected 'kalvern Fehler - Verzeichnis %s nicht zugänglich (%s).\n\n' closed/inner/ "$EACCES")" \
  --nobody -- same1 closed/inner/
expect_run 1 "$EMPTY" \
  "$(expected 'kalvern Fehler - Verzeichnis %s nicht zugänglich (%s).\n\n' closed/missing "$EACCES")" \
  --nobody -- closed/missing missing2
# Only the first argument is reported when both fail.
expect_run 1 "$EMPTY" "$(not_found missing1)" --nobody -- missing1 closed/inner
# The directory itself is reachable: the run goes on.
expect_run 0 "$IDENTICAL" "$EMPTY" --nobody -- same1 same2
chmod 0755 closed

# --- The man pages --------------------------------------------------------------------------

# The English page and the German one render without a warning and agree
# where a machine can tell: the same sections, the same options, the same
# exit statuses and the same files.
DOC_DIR=$(cd "$CLI_DIR/../../doc" && pwd)
MAN_EN=$DOC_DIR/kalvern.1
MAN_DE=$DOC_DIR/de/kalvern.1

# in_english PAGE: PAGE with the German page's section headers in English.
in_english() {
  sed -e 's/^\.Sh BEZEICHNUNG$/.Sh NAME/' -e 's/^\.Sh \\(:UBERSICHT$/.Sh SYNOPSIS/' \
    -e 's/^\.Sh BESCHREIBUNG$/.Sh DESCRIPTION/' -e 's/^\.Sh OPTIONEN$/.Sh OPTIONS/' \
    -e 's/^\.Sh DATEIEN$/.Sh FILES/' -e 's/^\.Sh R\\(:UCKGABEWERT$/.Sh EXIT STATUS/' \
    -e 's/^\.Sh BEISPIELE$/.Sh EXAMPLES/' -e 's/^\.Sh SICHERHEIT$/.Sh SAFETY/' \
    -e 's/^\.Sh SIEHE AUCH$/.Sh SEE ALSO/' "$1"
}

# man_items PAGE SECTION: the .It lines of the section .Sh SECTION.
man_items() {
  in_english "$1" |
    awk -v sh=".Sh $2" '/^\.Sh / { inside = ($0 == sh) } inside && /^\.It / { print }'
}

# man_flags PAGE: every option the page names with Fl, once each.
man_flags() {
  grep -oE '(^|[ .])Fl [^ ]+' "$1" | awk '{ print $NF }' | sort -u
}

# check_man_page PAGE: no warning from groff nor, where installed, from man.
check_man_page() {
  local warnings
  warnings=$(groff -ww -z -mandoc "$1" 2>&1) || fail "groff fails on $1"
  [ -z "$warnings" ] || fail "groff warns about $1: $warnings"
  if command -v man >/dev/null; then
    warnings=$(man --warnings -l "$1" 2>&1 >/dev/null) || fail "man fails on $1"
    [ -z "$warnings" ] || fail "man warns about $1: $warnings"
  fi
}

# check_man_same LABEL COMMAND...: COMMAND gives the same, non-empty lines
# for the English page as for the German one.
check_man_same() {
  local label=$1
  shift
  "$@" "$MAN_EN" >"$HELPER_DIR/man.en"
  "$@" "$MAN_DE" >"$HELPER_DIR/man.de"
  [ -s "$HELPER_DIR/man.en" ] || fail "the English man page has no $label"
  check_same "$HELPER_DIR/man.de" "$HELPER_DIR/man.en" "$label of the two man pages"
}

man_section_heads() { in_english "$1" | grep -E '^\.Sh '; }
man_subsection_count() { grep -cE '^\.Ss ' "$1" || true; }
man_options() { man_items "$1" OPTIONS; }
man_statuses() { man_items "$1" 'EXIT STATUS'; }
man_files() { man_items "$1" FILES; }

if ! command -v groff >/dev/null; then
  echo "SKIP: groff is missing (Debian package groff-base): the man pages go unchecked" >&2
  [ "$FAILED" -ne 0 ] || exit 77
else
  command -v man >/dev/null ||
    echo "man is not installed (Debian package man-db): only groff renders the man pages" >&2
  check_man_page "$MAN_EN"
  check_man_page "$MAN_DE"
  check_man_same 'section headers' man_section_heads
  check_man_same 'number of subsections' man_subsection_count
  check_man_same 'options named' man_flags
  check_man_same 'entries of OPTIONS' man_options
  check_man_same 'exit statuses' man_statuses
  check_man_same 'files' man_files
  # The German page is German throughout: no English section header.
  grep -qE '^\.Sh (NAME|SYNOPSIS|DESCRIPTION|OPTIONS|FILES|EXIT STATUS|EXAMPLES|SEE ALSO)$' \
    "$MAN_DE" && fail "an English section header in the German man page"
  # The statuses are those the program ends with, the options those it takes.
  printf '.It 0\n.It 1\n.It 2\n.It SIGHUP , SIGINT , SIGQUIT , SIGTERM\n' >"$HELPER_DIR/man.expected"
  man_statuses "$MAN_EN" >"$HELPER_DIR/man.en"
  check_same "$HELPER_DIR/man.expected" "$HELPER_DIR/man.en" 'exit statuses of the man page'
  printf '.It Fl v , Fl \\-version\n.It Fl c Ar N\n.It Fl y\n' >"$HELPER_DIR/man.expected"
  man_options "$MAN_EN" >"$HELPER_DIR/man.en"
  check_same "$HELPER_DIR/man.expected" "$HELPER_DIR/man.en" 'options of the man page'
fi
