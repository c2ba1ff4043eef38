# listing.sh: the side-by-side listing and the summary, its column width in a
# pipe and on terminals of several sizes, and paths with control bytes.
. "$(dirname "$0")/common.sh"
. "$CLI_DIR/sample_trees.sh"

# expect_listing EXPECTED_STDOUT_FORMAT ARGS...: the run with the answer "n"
# prints exactly this (lines of the listing in any order, those of files
# missing on the left last), nothing on standard error, and ends with 0.
expect_listing() {
  local format=$1
  shift
  run_kalvern --stdin "$ANSWER_NO" -- "$@"
  check_status 0 "$LAST_RUN"
  check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
  check_listing "$(expected "$format")" "stdout of $LAST_RUN"
}

# --- One entry of each kind, laid out exactly ------------------------------------

make_file P1/bericht.txt 2000
make_file P2/bericht.txt 1000
make_file P1/gleich.txt 1000
make_file P2/gleich.txt 1000
END_NO="$(summary 4 1 1 0)$ASK_SYNC$SAID_NO"

# Standard output is a pipe: width 47.
expect_run 0 "$(expected "\n%s  ->  bericht.txt\n$END_NO" "$(spaces 36)bericht.txt")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- P1 P2
expect_run 0 "$(expected "\n%s  <-  bericht.txt\n$END_NO" "$(spaces 36)bericht.txt")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- P2 P1
expect_run 0 "$(expected "\n%s  ->  bericht.txt\n$END_NO" "$(spaces 9)bericht.txt")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 20 P1 P2
# Exactly the width: no spaces, no cut.
expect_run 0 "$(expected "\nbericht.txt  <-  bericht.txt\n$END_NO")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 11 P2 P1
# One character more than the width: the first four go.
expect_run 0 "$(expected "\n...cht.txt  ->  ...cht.txt\n$END_NO")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 10 P1 P2
expect_run 0 "$(expected "\n...xt  ->  ...xt\n$END_NO")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 5 P1 P2

make_file Q1/nur_links.txt 1000
mkdir Q2
END_ONE="$(summary 1 0 0 1)$ASK_SYNC$SAID_NO"
expect_run 0 "$(expected "\n%s  -  --- fehlt ---\n$END_ONE" "$(spaces 34)nur_links.txt")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- Q1 Q2
expect_run 0 "$(expected "\n%s  -  nur_links.txt\n$END_ONE" "$(spaces 34)--- fehlt ---")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- Q2 Q1
# The marker whole at width 13, cut below it.
expect_run 0 "$(expected "\n--- fehlt ---  -  nur_links.txt\n$END_ONE")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 13 Q2 Q1
expect_run 0 "$(expected "\nnur_links.txt  -  --- fehlt ---\n$END_ONE")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 13 Q1 Q2
expect_run 0 "$(expected "\n...fehlt ---  -  ...links.txt\n$END_ONE")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 12 Q2 Q1
expect_run 0 "$(expected "\n...xt  -  ...--\n$END_ONE")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 5 Q1 Q2
expect_run 0 "$(expected "\n...--  -  ...xt\n$END_ONE")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 5 Q2 Q1

# UTF-8: characters are counted, not bytes, and never split.
make_file U1/Fotos/Urlaub/München_Straße.jpg 1000
make_file U2/Fotos/Urlaub/München_Straße.jpg 2000
make_file U1/Grüße.txt 1000
make_file U2/Grüße.txt 1000
U_END="$(summary 4 1 1 0)$ASK_SYNC$SAID_NO"
expect_run 0 "$(expected "\n...ünchen_Straße.jpg  <-  ...ünchen_Straße.jpg\n$U_END")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 20 U1 U2
expect_run 0 "$(expected "\n%s  <-  Fotos/Urlaub/München_Straße.jpg\n$U_END" \
  "$(spaces 1)Fotos/Urlaub/München_Straße.jpg")" "$EMPTY" --stdin "$ANSWER_NO" -- -c 32 U1 U2
expect_run 0 "$(expected "\nFotos/Urlaub/München_Straße.jpg  <-  Fotos/Urlaub/München_Straße.jpg\n$U_END")" \
  "$EMPTY" --stdin "$ANSWER_NO" -- -c 31 U1 U2
touch -d @2000 U1/Grüße.txt
rm U2/Fotos/Urlaub/München_Straße.jpg
expect_listing "
$(spaces 3)Grüße.txt  ->  Grüße.txt
...traße.jpg  -  ...fehlt ---
$(summary 3 0 1 1)$ASK_SYNC$SAID_NO" -c 12 U1 U2

# --- Several entries: the lines of the example tree pair ------------------------------

# 13 files on each side, 10 of them equal.
for i in 01 02 03 04 05 06 07 08 09 10; do
  make_file "W1/fotos/bild_$i.jpg" 1000
  make_file "W2/fotos/bild_$i.jpg" 1000
done
make_file W1/docs/report.txt 2000
make_file W2/docs/report.txt 1000
make_file W1/photos/sommer/urlaub/strand.jpg 1000
make_file W2/photos/sommer/urlaub/strand.jpg 2000
make_file W1/alt/notizen.txt 1000
make_file W2/neu.txt 1000
W_END="$(summary 26 10 2 2)$ASK_SYNC$SAID_NO"
expect_listing "
     docs/report.txt  ->  docs/report.txt
...urlaub/strand.jpg  <-  ...urlaub/strand.jpg
     alt/notizen.txt  -  --- fehlt ---
       --- fehlt ---  -  neu.txt
$W_END" -c 20 W1 W2
expect_listing "
     docs/report.txt  <-  docs/report.txt
...urlaub/strand.jpg  ->  ...urlaub/strand.jpg
             neu.txt  -  --- fehlt ---
       --- fehlt ---  -  alt/notizen.txt
$W_END" -c 20 W2 W1
expect_listing "
$(spaces 32)docs/report.txt  ->  docs/report.txt
$(spaces 16)photos/sommer/urlaub/strand.jpg  <-  photos/sommer/urlaub/strand.jpg
$(spaces 32)alt/notizen.txt  -  --- fehlt ---
$(spaces 34)--- fehlt ---  -  neu.txt
$W_END" W1 W2
expect_listing "
...ort.txt  ->  ...ort.txt
...and.jpg  <-  ...and.jpg
...zen.txt  -  ...hlt ---
...hlt ---  -  neu.txt
$W_END" -c 10 W1 W2

# --- Summary ---------------------------------------------------------------------------

# Files present on both sides count twice in the first line.
make_file S1/a 1
make_file S1/b 1
make_file S1/c 1
make_file S1/only_left_1 1
make_file S1/only_left_2 1
make_file S2/a 1
make_file S2/b 2
make_file S2/c 1
make_file S2/only_right 1
expect_listing "
$(spaces 12)b  <-  b
  only_left_1  -  --- fehlt ---
  only_left_2  -  --- fehlt ---
--- fehlt ---  -  only_right
$(summary 9 2 1 3)$ASK_SYNC$SAID_NO" -c 13 S1 S2

# --- Width from the terminal ---------------------------------------------------------

# expect_terminal COLS STATUS EXPECTED_FILE INPUT [--nobody] -- ARGS...: the run
# on a terminal of COLS columns shows exactly EXPECTED_FILE (both streams).
expect_terminal() {
  local cols=$1 status=$2 file=$3
  shift 3
  on_terminal "$cols" "$@"
  check_status "$status" "$LAST_RUN"
  check_same "$file" "$OUT" "terminal output of $LAST_RUN"
}

# (cols - 6) / 2, and 47 when the terminal reports fewer than 40 columns.
for pair in 120:57 39:47 40:17 41:17 80:37 300:147 1:47; do
  cols=${pair%:*}
  width=${pair#*:}
  expect_terminal "$cols" 0 \
    "$(expected "\n%s  ->  bericht.txt\n$END_NO" "$(spaces $((width - 11)))bericht.txt")" \
    "$ANSWER_NO" -- P1 P2
done
# -c replaces the terminal's width.
expect_terminal 120 0 "$(expected "\n%s  ->  bericht.txt\n$END_NO" "$(spaces 9)bericht.txt")" \
  "$ANSWER_NO" -- -c 20 P1 P2
expect_terminal 39 0 "$(expected "\n...xt  ->  ...xt\n$END_NO")" "$ANSWER_NO" -- P1 -c 5 P2
# The listing and the question are out before the message about the missing
# answer, which stands on a line of its own.
expect_terminal 120 0 \
  "$(expected "\n%s  ->  bericht.txt\n$(summary 4 1 1 0)$ASK_SYNC\n$NO_INPUT" "$(spaces 46)bericht.txt")" \
  /dev/null -- P1 P2
expect_terminal 120 0 "$(expected "$(summary 4 2 0 0)$IDENTICAL_MSG")" /dev/null -- P1/. P1
expect_terminal 120 0 "$(expected 'kalvern %s\n' "$KALVERN_VERSION")" /dev/null -- -v

# --- Control bytes in paths ---------------------------------------------------------------

ESC_NAME=$'farbe\033[31mrot.txt'
TAB_NAME=$'tab\there.txt'
DEL_NAME=$'entf\177.txt'
make_file "C1/$ESC_NAME" 1000
make_file "C1/sub/$TAB_NAME" 2000
make_file "C2/sub/$TAB_NAME" 1000
make_file "C2/$DEL_NAME" 1000
C_END="$(summary 4 0 1 2)$ASK_SYNC$SAID_NO"

# In a pipe the bytes go out as they are stored.
expect_listing "
$(spaces 3)$ESC_NAME  -  --- fehlt ---
$(spaces 4)sub/$TAB_NAME  ->  sub/$TAB_NAME
$(spaces 7)--- fehlt ---  -  $DEL_NAME
$C_END" -c 20 C1 C2
# On a terminal every byte below 0x20 and 0x7F shows as "?", one character
# each, so the columns stay aligned.
on_terminal 80 "$ANSWER_NO" -- -c 20 C1 C2
check_status 0 "$LAST_RUN"
check_listing "$(expected "
$(spaces 3)farbe?[31mrot.txt  -  --- fehlt ---
$(spaces 4)sub/tab?here.txt  ->  sub/tab?here.txt
$(spaces 7)--- fehlt ---  -  entf?.txt
$C_END")" "terminal output of $LAST_RUN"
# Standard output on the terminal, standard error in a pipe, and the reverse.
script -qec "stty -onlcr && exec $(printf '%q ' "$KALVERN" -c 20 C1 C2) <$(printf '%q' "$ANSWER_NO") 2>$(printf '%q' "$ERR")" \
  /dev/null </dev/null >"$OUT"
check_listing "$(expected "
$(spaces 3)farbe?[31mrot.txt  -  --- fehlt ---
$(spaces 4)sub/tab?here.txt  ->  sub/tab?here.txt
$(spaces 7)--- fehlt ---  -  entf?.txt
$C_END")" "terminal output of kalvern -c 20 C1 C2 with standard error in a file"
check_same "$EMPTY" "$ERR" "standard error of kalvern -c 20 C1 C2"
script -qec "stty -onlcr && exec $(printf '%q ' "$KALVERN" -c 20 C1 C2) <$(printf '%q' "$ANSWER_NO") >$(printf '%q' "$OUT")" \
  /dev/null </dev/null >"$ERR"
check_listing "$(expected "
$(spaces 3)$ESC_NAME  -  --- fehlt ---
$(spaces 4)sub/$TAB_NAME  ->  sub/$TAB_NAME
$(spaces 7)--- fehlt ---  -  $DEL_NAME
$C_END")" "standard output of kalvern -c 20 C1 C2 in a file, standard error on a terminal"
check_same "$EMPTY" "$ERR" "terminal output of kalvern -c 20 C1 C2 with standard output in a file"

# A line break in a name: one "?" on a terminal, the byte itself in a pipe.
NL_NAME=$'neue\nzeile.txt'
make_file "N1/$NL_NAME" 1000
mkdir N2
expect_run 0 "$(expected "\n%s  -  --- fehlt ---\n$END_ONE" "$(spaces 6)$NL_NAME")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 20 N1 N2
expect_terminal 80 0 "$(expected "\n%s  -  --- fehlt ---\n$END_ONE" "$(spaces 6)neue?zeile.txt")" \
  "$ANSWER_NO" -- -c 20 N1 N2
expect_run 0 "$(expected "\n%s  -  %s\n$END_ONE" "$(spaces 7)--- fehlt ---" "$NL_NAME")" "$EMPTY" \
  --stdin "$ANSWER_NO" -- -c 20 N2 N1
expect_terminal 80 0 "$(expected "\n%s  -  neue?zeile.txt\n$END_ONE" "$(spaces 7)--- fehlt ---")" \
  "$ANSWER_NO" -- -c 20 N2 N1

# The paths in messages on standard error follow the same rule.
BAD=$'fehlt\033[2J'
expect_terminal 80 1 "$(expected 'kalvern Fehler - Verzeichnis fehlt?[2J nicht gefunden.\n\n')" \
  /dev/null -- "$BAD" C2
expect_run 1 "$EMPTY" "$(expected 'kalvern Fehler - Verzeichnis %s nicht gefunden.\n\n' "$BAD")" -- "$BAD" C2
expect_terminal 80 1 "$(expected 'kalvern ERROR: Unbekannte Option -?\n\n')" /dev/null -- $'-\t' C1 C2
expect_run 1 "$EMPTY" "$(expected 'kalvern ERROR: Unbekannte Option %s\n\n' $'-\t')" -- $'-\t' C1 C2
make_file $'datei\t.txt' 1000
expect_terminal 80 1 \
  "$(expected "FEHLER beim Durchsuchen des Verzeichnisses: 'datei?.txt' (Not a directory)\n\n")" \
  /dev/null -- C1 $'datei\t.txt'
expect_run 1 "$EMPTY" \
  "$(expected "FEHLER beim Durchsuchen des Verzeichnisses: '%s' (Not a directory)\n\n" $'datei\t.txt')" \
  -- C1 $'datei\t.txt'
mkdir "C1/$BAD"
expect_terminal 80 1 \
  "$(expected 'kalvern Fehler - Verzeichnis C1/fehlt?[2J liegt innerhalb von C1.\n\n')" \
  /dev/null -- C1 "C1/$BAD"
expect_run 1 "$EMPTY" \
  "$(expected 'kalvern Fehler - Verzeichnis C1/%s liegt innerhalb von C1.\n\n' "$BAD")" \
  -- C1 "C1/$BAD"
rmdir "C1/$BAD"
make_file "V/$BAD\"/x.txt" 1000
chmod 000 "V/$BAD\""
expect_terminal 80 1 \
  "$(expected 'FEHLER: Zugriff verweigert bei "V/fehlt?[2J\\"" (Permission denied)\n\n')" \
  /dev/null --nobody -- V C2
expect_run 1 "$EMPTY" \
  "$(expected 'FEHLER: Zugriff verweigert bei "V/%s\\"" (Permission denied)\n\n' "$BAD")" \
  --nobody -- V C2
chmod 755 "V/$BAD\""

# --- The sample trees ------------------------------------------------------------------------

make_sample_trees sample
cat >"$HELPER_DIR/sample.expected" <<'LISTING'

       Fotos/2024/Harz_017.jpg  ->  Fotos/2024/Harz_017.jpg
Dokumente/Übersicht_Konten.ods  <-  Dokumente/Übersicht_Konten.ods
Dokumente/Briefe/Vermieter.txt  -  --- fehlt ---
                 --- fehlt ---  -  Fotos/2024/Brocken_003.jpg

Zusammenfassung für 14 Dateien:
4 Dateien sind gleich, 2 Dateien sind unterschiedlich und 2 Dateien fehlen.
LISTING
printf "$ASK_SYNC$SAID_NO" >>"$HELPER_DIR/sample.expected"
run_kalvern --stdin "$ANSWER_NO" --cwd sample -- -c 30 links rechts
check_status 0 "$LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
check_listing "$HELPER_DIR/sample.expected" "stdout of $LAST_RUN"
# The README quotes this run: its listing must be the program's, line order
# aside.
awk 'on && /^Möchten Sie/ { exit } on { print } /^\$ kalvern -c 30 links rechts$/ { on = 1 }' \
  "$CLI_DIR/../../README.md" >"$HELPER_DIR/readme.listing"
awk '/^Möchten Sie/ { exit } { print }' "$OUT" >"$HELPER_DIR/run.listing"
listing_key "$HELPER_DIR/readme.listing" >"$HELPER_DIR/readme.key"
listing_key "$HELPER_DIR/run.listing" >"$HELPER_DIR/run.key"
[ -s "$HELPER_DIR/readme.key" ] || fail "README.md quotes no sample run"
check_same "$HELPER_DIR/run.key" "$HELPER_DIR/readme.key" "README sample"
# The demo runs the same, after two lines about itself, and cleans up.
# Without a terminal on standard input it answers "n" itself and shows the
# answer as the README does.
mkdir demo_tmp
TMPDIR=$TEST_TMP/demo_tmp bash "$CLI_DIR/sample_trees.sh" --demo "$KALVERN" \
  </dev/null >"$OUT" 2>"$ERR" && STATUS=0 || STATUS=$?
LAST_RUN="the demo"
check_status 0 "$LAST_RUN"
check_same "$EMPTY" "$ERR" "stderr of $LAST_RUN"
sed -n '3,$p' "$OUT" >"$HELPER_DIR/demo.listing"
sed -n '1,2p' "$OUT" >"$HELPER_DIR/demo.head"
mv "$HELPER_DIR/demo.listing" "$OUT"
sed -i '1s/kalvern-demo\.[^/]*$/kalvern-demo.XXXXXX/' "$HELPER_DIR/demo.head"
check_same "$(expected '$ cd %s/kalvern-demo.XXXXXX\n$ kalvern -c 30 links rechts\n' "$TEST_TMP/demo_tmp")" \
  "$HELPER_DIR/demo.head" "first lines of $LAST_RUN"
sed 's/ (j\/n)? $/ (j\/n)? n\n/' "$HELPER_DIR/sample.expected" >"$HELPER_DIR/demo.expected"
check_listing "$HELPER_DIR/demo.expected" "stdout of $LAST_RUN"
# Its end is the README's.
awk '/^Möchten Sie/ { on = 1 } on && /^```$/ { exit } on { print }' \
  "$CLI_DIR/../../README.md" >"$HELPER_DIR/readme.end"
sed -n '/^Möchten Sie/,$p' "$OUT" | sed '${/^$/d}' >"$HELPER_DIR/demo.end"
check_same "$HELPER_DIR/readme.end" "$HELPER_DIR/demo.end" "end of $LAST_RUN"
if [ -n "$(ls -A demo_tmp)" ]; then
  fail "the demo left files behind: $(ls -A demo_tmp)"
fi
