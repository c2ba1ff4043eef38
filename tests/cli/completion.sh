# completion.sh: the bash completion file, sourced as bash-completion would
# source it, offers the options, widths after -c and directories for the two
# trees.
. "$(dirname "$0")/common.sh"

# shellcheck source=../../completion/kalvern.bash
. "$CLI_DIR/../../completion/kalvern.bash"

# offered WORDS...: the candidates for the last of WORDS (the command line so
# far, "" for a new word), sorted, one a line, in the file $OUT.  The function
# runs as bash-completion runs it: without errexit and the ERR trap.
offered() {
  (
    set +e
    trap - ERR
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    _kalvern kalvern "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort
  ) >"$OUT"
  LAST_RUN="completion of '$*'"
}

# sorted WORDS...: a fresh file with WORDS sorted, one a line; its name is
# printed.
sorted() {
  local file
  file=$(expected '')
  printf '%s\n' "$@" | sort >"$file"
  printf '%s\n' "$file"
}

# check_offered EXPECTED WORDS...: the candidates are the lines of EXPECTED.
check_offered() {
  local expected=$1
  shift
  offered "$@"
  check_same "$expected" "$OUT" "$LAST_RUN"
}

mkdir -p work/Fotos/2024 'work/Mit Leerzeichen' work/Musik
touch work/Film.mkv work/Fotoliste.txt
cd work

# The options.
check_offered "$(sorted --version -c -v -y)" kalvern -
check_offered "$(sorted --version)" kalvern --
check_offered "$(sorted -c -v -y --version)" kalvern Fotos -

# A width after -c: a choice of round values, or the widths begun.
check_offered "$(sorted 20 30 40 60 80 100 150 200 300)" kalvern -c ''
check_offered "$(sorted 30 300)" kalvern -y -c 30
check_offered "$(sorted 5 50 51 52 53 54 55 56 57 58 59)" kalvern -c 5
check_offered "$(sorted 40 41 42 43 44 45 46 47 48 49)" kalvern -c 4
check_offered "$EMPTY" kalvern -c 0
check_offered "$EMPTY" kalvern -c x

# Directories for the two trees, never files; none after the second.
check_offered "$(sorted Fotos)" kalvern Fo
check_offered "$(sorted 'Mit Leerzeichen' Musik Fotos)" kalvern -c 30 ''
check_offered "$(sorted Musik)" kalvern Fotos Mu
check_offered "$(sorted Fotos/2024)" kalvern -y Fotos/
check_offered "$EMPTY" kalvern Fotos Musik ''
check_offered "$EMPTY" kalvern Fotos -c 30 Musik M
