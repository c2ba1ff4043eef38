# Bash completion of kalvern: the options, a column width after -c, and
# directories for the two trees.  Installed as
# /usr/share/bash-completion/completions/kalvern; it can also be sourced by
# hand.

_kalvern() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev= word i trees=0
  [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # After -c comes the width of the left column, 5 to 300: a few round
  # values to choose from, or every width that begins as typed.
  if [ "$prev" = -c ]; then
    if [ -z "$cur" ]; then
      COMPREPLY=(20 30 40 60 80 100 150 200 300)
    else
      COMPREPLY=($(compgen -W "$(seq 5 300)" -- "$cur"))
    fi
    return 0
  fi

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-c -y -v --version' -- "$cur"))
    return 0
  fi

  # The trees: directories, as long as fewer than two are given.
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [ "$word" = -c ]; then
      ((i++))
    elif [[ $word != -* ]]; then
      ((trees++))
    fi
  done
  [ "$trees" -ge 2 ] && return 0
  compopt -o filenames 2>/dev/null
  local IFS=$'\n'
  COMPREPLY=($(compgen -d -- "$cur"))
  return 0
}

complete -F _kalvern kalvern
