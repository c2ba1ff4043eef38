# Fish completion of kalvern, as completion/kalvern.bash offers it: the
# options, a column width after -c, and directories for the two trees.
# Installed as /usr/share/fish/vendor_completions.d/kalvern.fish.

# The width of the left column, 5 to 300: a few round values to choose
# from, or every width that begins as typed.
function __kalvern_widths
    set -l typed (commandline -ct)
    if test -z "$typed"
        printf '%s\n' 20 30 40 60 80 100 150 200 300
    else
        seq 5 300 | string match -- "$typed*"
    end
end

# Whether fewer than two trees are given before the word being completed.
function __kalvern_wants_tree
    set -l trees 0
    set -l after_c 0
    for word in (commandline -opc)[2..]
        if test $after_c = 1
            set after_c 0
        else if test "$word" = -c
            set after_c 1
        else if not string match -q -- '-*' $word
            set trees (math $trees + 1)
        end
    end
    test $trees -lt 2
end

complete -c kalvern -f
complete -c kalvern -s c -x -a '(__kalvern_widths)' -d 'Breite der linken Spalte'
complete -c kalvern -s y -d 'erste Frage nicht stellen'
complete -c kalvern -s v -l version -d 'Version ausgeben'
complete -c kalvern -n __kalvern_wants_tree -a '(__fish_complete_directories (commandline -ct) "")'
