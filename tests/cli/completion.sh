# completion.sh: the bash completion file, sourced as bash-completion would,
# offers the options, widths after -c and directories for the two trees; so
# does the fish completion, and zsh's compinit finds its completion.
. "$(dirname "$0")/common.sh"
COMPLETION_DIR=$CLI_DIR/../../completion
. "$COMPLETION_DIR/kalvern.bash"

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

# fish_offered "EXPECTED WORDS" WORDS...: the same for fish, given the words
# as one command line.
fish_offered() {
  local expected=$1
  shift
  printf '%s\n' $expected | sort >"$HELPER_DIR/offered.expected"
  printf '%s\n' $(fish --no-config -c 'source $argv[1]; complete -C $argv[2]' \
    "$COMPLETION_DIR/kalvern.fish" "$*" | cut -f1) | sort >"$OUT"
  check_same "$HELPER_DIR/offered.expected" "$OUT" "fish completion of '$*'"
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

if command -v fish >/dev/null; then
  fish_offered '-c -v -y --version' kalvern -
  fish_offered '20 30 40 60 80 100 150 200 300' kalvern -c ''
  fish_offered '5 50 51 52 53 54 55 56 57 58 59' kalvern -y -c 5
  fish_offered '' kalvern -c 0
  fish_offered 'Fotos/ Musik/' kalvern -c 30 ''
  fish_offered 'Fotos/2024/' kalvern Musik Fotos/
  fish_offered '' kalvern Fotos -c 30 Musik ''
else
  echo "fish is not installed: its completion goes unchecked" >&2
fi

if command -v zsh >/dev/null; then
  found=$(zsh -f -c 'fpath=($1 $fpath); autoload -Uz compinit; compinit -u -D
    print -r -- $_comps[kalvern]' zsh "$COMPLETION_DIR")
  [ "$found" = _kalvern ] || fail "zsh's compinit gives '$found' for kalvern"
else
  echo "zsh is not installed: its completion goes unchecked" >&2
fi
