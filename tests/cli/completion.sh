# completion.sh: the bash completion file, sourced as bash-completion would,
# offers the options, widths after -c and directories for the two trees.
. "$(dirname "$0")/common.sh"
. "$CLI_DIR/../../completion/kalvern.bash"

# check_offered "EXPECTED WORDS" WORDS...: the candidates for the last of WORDS
# ("" for a new word), sorted, are EXPECTED WORDS.  The function runs as
# bash-completion runs it: without errexit and the ERR trap.
check_offered() {
  local expected=$1
  shift
  printf '%s\n' $expected | sort >"$HELPER_DIR/offered.expected"
  (
    set +e
    trap - ERR
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _kalvern kalvern "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
  ) >"$OUT"
  check_same "$HELPER_DIR/offered.expected" "$OUT" "completion of '$*'"
}

mkdir -p work/Fotos/2024 work/Musik
touch work/Film.mkv
cd work
check_offered '-c -v -y --version' kalvern -
check_offered '-c -v -y --version' kalvern Fotos -
check_offered '20 30 40 60 80 100 150 200 300' kalvern -c ''
check_offered '5 50 51 52 53 54 55 56 57 58 59' kalvern -y -c 5
check_offered '' kalvern -c 0
check_offered 'Fotos Musik' kalvern -c 30 ''
check_offered 'Fotos/2024' kalvern Musik Fotos/
check_offered '' kalvern Fotos -c 30 Musik ''
