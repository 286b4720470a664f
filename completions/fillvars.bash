# bash completion for fillvars: its options, and the names of exported
# variables for operands, bare or in the $NAME and ${NAME} forms. An operand
# may be a comma list, so only the field after the last comma is completed.
_fillvars() {
    local cur=${COMP_WORDS[COMP_CWORD]} i
    COMPREPLY=()

    # After "--" every word is a name.
    local options=1
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -- ]] && options=0
    done
    if ((options)) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-h --help -v --variables -V --version' -- "$cur"))
        return
    fi

    # Bash puts back a quote the user opened; what is offered goes after it.
    if [[ $cur == [\'\"]* ]]; then
        cur=${cur:1}
    fi
    local head= field=$cur
    if [[ $cur == *,* ]]; then
        head=${cur%,*},
        field=${cur##*,}
    fi
    local prefix= suffix=
    case $field in
    '${'* | '\${'*) prefix=${field%%\{*}{ suffix='}' ;;
    '$'* | '\$'*) prefix=${field%%\$*}$ ;;
    esac
    local IFS=$'\n'
    COMPREPLY=($(compgen -P "$head$prefix" -S "$suffix" -e -- "${field:${#prefix}}"))
}
complete -F _fillvars fillvars
