# scan.sh: what the scan of a tree records and how its failures end the run.
. "$(dirname "$0")/common.sh"

EACCES='Permission denied'
mkdir empty

# expect_keys ROOT KEY...: scanned against the empty tree (with the answer
# "n"), ROOT shows exactly the files KEY..., each missing on the right.
expect_keys() {
  local root=$1 key listing
  shift
  listing=$(mktemp "$HELPER_DIR/keys.XXXXXX")
  if [ $# -eq 0 ]; then
    printf '%b' "$(summary 0 0 0 0)$IDENTICAL_MSG" >"$listing"
  else
    printf '\n' >"$listing"
    for key in "$@"; do
      printf '%s  -  --- fehlt ---\n' "$(spaces $((40 - ${#key})))$key" >>"$listing"
    done
    printf '%b' "$(summary $# 0 0 $#)$ASK_SYNC$SAID_NO" >>"$listing"
  fi
  run_kalvern --stdin "$ANSWER_NO" -- -c 40 "$root" empty
  check_status 0 "$LAST_RUN"
  check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
  check_listing "$listing" "stdout of $LAST_RUN"
}

advance_failure() {
  expected 'FEHLER: Zugriff verweigert bei "%s" (%s)\n\n' "$1" "$2"
}
open_failure() {
  expected "FEHLER beim Durchsuchen des Verzeichnisses: '%s' (%s)\n\n" "$1" "$2"
}

# --- What is recorded, and under which key ------------------------------------

make_file t/a.txt 1000
make_file t/.hidden 1000
make_file t/sub/b.txt 1000
make_file t/sub/.dot/c.txt 1000
# Regular files named like the excluded directories are recorded.
make_file t/Recovery 1000
make_file t/sub/lost+found 1000
# Only the exact names keep the scan out of a directory, at any depth.
make_file t/recovery/d.txt 1000
make_file t/RECOVERY/e.txt 1000
make_file t/Lost+Found/f.txt 1000
make_file 't/ RECYCLER/g.txt' 1000
make_file t/lost+found/no1.txt 1000
make_file 't/sub/$RECYCLE.BIN/no2.txt' 1000
make_file 't/sub/deep/System Volume Information/no3.txt' 1000
make_file t/sub/deep/Recovery/no4.txt 1000
make_file t/RECYCLER/no5.txt 1000
# Other objects are passed over.
mkfifo t/pipe
mkdir t/sub/empty_dir
KEYS_T=(a.txt .hidden sub/b.txt sub/.dot/c.txt Recovery sub/lost+found
  recovery/d.txt RECOVERY/e.txt Lost+Found/f.txt ' RECYCLER/g.txt')

expect_keys t "${KEYS_T[@]}"
# Every spelling of the root gives the same keys.
expect_keys t/ "${KEYS_T[@]}"
expect_keys ./t "${KEYS_T[@]}"
expect_keys t/. "${KEYS_T[@]}"
expect_keys t/sub/.. "${KEYS_T[@]}"
expect_keys "$TEST_TMP/t" "${KEYS_T[@]}"
ln -s t tlink
expect_keys tlink "${KEYS_T[@]}"
expect_keys tlink/ "${KEYS_T[@]}"

# The root's own name is never looked up.
make_file box/lost+found/h.txt 1000
make_file box/lost+found/Recovery/no.txt 1000
expect_keys box/lost+found h.txt
expect_keys empty

# --- Symbolic links ---------------------------------------------------------------

make_file s/real.txt 1000
make_file s/sub/inner.txt 1000
make_file s/lost+found/kept.txt 1000
make_file outside/file.txt 1000
make_file outside/dir/x.txt 1000
make_file s2/real.txt 1000
# Links to files inside the tree give their targets' keys, once.
ln -s real.txt s/to_real
ln -s ../real.txt s/sub/to_real_too
ln -s ../s/real.txt s/round_trip
ln -s to_real s/to_link
ln -s sub/inner.txt s/to_inner
ln -s "$TEST_TMP/s/sub/inner.txt" s/to_inner_absolute
# A link into an excluded directory is recorded under the file's key.
ln -s lost+found/kept.txt s/to_kept
# Links to directories are neither recorded nor followed.
ln -s sub s/dirlink
ln -s ../outside/dir s/outside_dir
ln -s lost+found s/Recovery
# Links that lead out of the tree, nowhere, or in a circle are passed over.
ln -s ../outside/file.txt s/outside_file
ln -s ../s2/real.txt s/prefix_sibling
ln -s "$TEST_TMP/outside/file.txt" s/outside_absolute
ln -s nowhere s/dangling
ln -s loop_b s/loop_a
ln -s loop_a s/loop_b
ln -s self s/self
ln -s loop_a s/to_loop
KEYS_S=(real.txt sub/inner.txt lost+found/kept.txt)
expect_keys s "${KEYS_S[@]}"
expect_keys ./s/ "${KEYS_S[@]}"
ln -s s slink
expect_keys slink "${KEYS_S[@]}"
expect_keys "$TEST_TMP/slink/sub/.." "${KEYS_S[@]}"

# A tree of links that all lead out of it records nothing.
mkdir -p only_links/dir
ln -s ../../outside/file.txt only_links/dir/out
ln -s ../../s/real.txt only_links/dir/s_real
ln -s ../../outside only_links/dir/out_dir
expect_keys only_links

# A link to a file carries the file's time: against a copy of the file with
# the same time the trees are identical, against an older one it is newer.
make_file lt/store/f.txt 2000
mkdir -p lt/data
ln -s ../store/f.txt lt/data/f.txt
make_file rt/store/f.txt 2000
expect_run 0 "$(expected "$(summary 2 1 0 0)$IDENTICAL_MSG")" "$EMPTY" -- lt rt
touch -d @1999 rt/store/f.txt
expect_run 0 "$(expected "\n%s  ->  store/f.txt\n$(summary 2 0 1 0)$ASK_SYNC$SAID_NO" \
  "$(spaces 9)store/f.txt")" "$EMPTY" --stdin "$ANSWER_NO" -- -c 20 lt rt

# --- Times in whole seconds -----------------------------------------------------

make_file lt2/same.txt 1000.7
make_file rt2/same.txt 1000.2
make_file lt2/negative.txt -0.5
make_file rt2/negative.txt 0
make_file lt2/before.txt -5
make_file rt2/before.txt 3
make_file lt2/late.txt 4102444800
make_file rt2/late.txt 4102444799
run_kalvern --stdin "$ANSWER_NO" -- -c 20 lt2 rt2
check_status 0 "$LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
check_listing "$(expected "\n%s  <-  negative.txt\n%s  <-  before.txt\n%s  ->  late.txt\n$(summary 8 1 3 0)$ASK_SYNC$SAID_NO" \
  "$(spaces 8)negative.txt" "$(spaces 10)before.txt" "$(spaces 12)late.txt")" "stdout of $LAST_RUN"
# The half second before the epoch is -1: one second older than 0.
touch -d @-1 rt2/negative.txt
touch -d @-4.1 lt2/before.txt
touch -d @-5 rt2/before.txt
touch -d @4102444799.9 lt2/late.txt
expect_run 0 "$(expected "$(summary 8 4 0 0)$IDENTICAL_MSG")" "$EMPTY" -- lt2 rt2

# --- Roots that cannot be scanned ---------------------------------------------------

make_file file.txt 1000
ln -s file.txt file_link
expect_run 1 "$EMPTY" "$(open_failure file.txt 'Not a directory')" -- file.txt t
expect_run 1 "$EMPTY" "$(open_failure file.txt 'Not a directory')" -- t file.txt
expect_run 1 "$EMPTY" "$(open_failure file_link 'Not a directory')" -- t file_link
expect_run 1 "$EMPTY" "$(open_failure /dev/null 'Not a directory')" -- /dev/null t
# A root the user may enter but not read.
mkdir unreadable
make_file unreadable/x.txt 1000
chmod 0311 unreadable
expect_run 1 "$EMPTY" "$(open_failure unreadable "$EACCES")" --nobody -- unreadable t
expect_run 1 "$EMPTY" "$(open_failure unreadable "$EACCES")" --nobody -- t unreadable/
# A root the user may read but not enter: its entries fail, not the root.
mkdir -p unsearchable
make_file unsearchable/y.txt 1000
chmod 0444 unsearchable
expect_run 1 "$EMPTY" "$(advance_failure unsearchable/y.txt "$EACCES")" --nobody -- unsearchable t
chmod 0755 unsearchable
# The left root fails first, the right one is not looked at.
expect_run 1 "$EMPTY" "$(open_failure file.txt 'Not a directory')" --nobody -- file.txt unreadable

# --- Directories below the root that cannot be read -----------------------------------

make_file L/Fotos/2024/bild.jpg 1000
make_file L/Fotos/privat/geheim.jpg 1000
make_file L/Dokumente/brief.txt 1000
chmod 000 L/Fotos/privat
make_file R/Fotos/2024/bild.jpg 1000
make_file R/gesperrt/x.txt 1000
chmod 000 R/gesperrt
make_file R2/Fotos/2024/bild.jpg 1000

# The message names the subdirectory; the right tree is never scanned.
expect_run 1 "$EMPTY" "$(advance_failure L/Fotos/privat "$EACCES")" --nobody -- L R
expect_run 1 "$EMPTY" "$(advance_failure L/Fotos/privat "$EACCES")" --nobody -- L R2
expect_run 1 "$EMPTY" "$(advance_failure L/Fotos/privat "$EACCES")" --nobody -- -y L/ R2
expect_run 1 "$EMPTY" "$(advance_failure L/Fotos/privat "$EACCES")" --nobody -- L// R2
expect_run 1 "$EMPTY" "$(advance_failure ./L/Fotos/privat "$EACCES")" --nobody -- ./L R2
expect_run 1 "$EMPTY" "$(advance_failure "$TEST_TMP/L/Fotos/privat" "$EACCES")" \
  --nobody -- "$TEST_TMP/L" R2
expect_run 1 "$EMPTY" "$(advance_failure R/gesperrt "$EACCES")" --nobody -- R2 R
# Not even an answer is read.
expect_run 1 "$EMPTY" "$(advance_failure R/gesperrt "$EACCES")" --nobody --stdin "$ANSWER_NO" -- R2 R

# A directory that may be entered but not read, and one that may be read but
# not entered.
mkdir -p M/ohne_lesen M/ohne_suchen
make_file M/ohne_lesen/a.txt 1000
make_file M/ohne_suchen/b.txt 1000
chmod 0111 M/ohne_lesen
expect_run 1 "$EMPTY" "$(advance_failure M/ohne_lesen "$EACCES")" --nobody -- M R2
chmod 0755 M/ohne_lesen
chmod 0444 M/ohne_suchen
expect_run 1 "$EMPTY" "$(advance_failure M/ohne_suchen/b.txt "$EACCES")" --nobody -- M R2
chmod 0755 M/ohne_suchen

# The path is in quoted form: quotes and backslashes are escaped.
make_file 'Q/we"ird\dir/x.txt' 1000
chmod 000 'Q/we"ird\dir'
expect_run 1 "$EMPTY" "$(advance_failure 'Q/we\"ird\\dir' "$EACCES")" --nobody -- Q R2

# A link to a file below a directory the user may not enter.
make_file N/ok.txt 1000
make_file hidden/secret.txt 1000
chmod 0700 hidden
ln -s ../hidden/secret.txt N/link
expect_run 1 "$EMPTY" "$(advance_failure N/link "$EACCES")" --nobody -- N R2
expect_run 1 "$EMPTY" "$(advance_failure N/link "$EACCES")" --nobody -- R2 N
chmod 0755 hidden

# Excluded directories are never opened, so their permissions do not matter.
make_file E/Fotos/bild.jpg 1000
for name in lost+found '$RECYCLE.BIN' 'System Volume Information' Recovery RECYCLER; do
  make_file "E/$name/x.txt" 1000
  make_file "E/Fotos/$name/y.txt" 1000
  chmod 000 "E/$name" "E/Fotos/$name"
done
make_file R3/Fotos/bild.jpg 1000
expect_run 0 "$(expected "$(summary 2 1 0 0)$IDENTICAL_MSG")" "$EMPTY" --nobody -- E R3
expect_run 0 "$(expected "$(summary 2 1 0 0)$IDENTICAL_MSG")" "$EMPTY" --nobody -- R3 E
# Only the exact name: any other spelling is opened, and fails.
make_file E/Fotos/recovery/z.txt 1000
chmod 000 E/Fotos/recovery
expect_run 1 "$EMPTY" "$(advance_failure E/Fotos/recovery "$EACCES")" --nobody -- E R3
