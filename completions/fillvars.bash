# bash completion for fillvars: its options, file names for -i, -o, -f and
# after a redirection (< or >) (folders alone for the two folders of a folder
# of templates), -E's formats and, after FORMAT:, the names of exported
# variables, as for operands, bare or in the $NAME and ${NAME} forms. An
# operand may be a comma list, so only the field after the last comma is
# completed.
# No offer holds a "$" that the shell would expand: outside single quotes it
# comes out as "\$", or the operand would become the variable's value.

# Sets the variable named $2 to $1 with each "$" that is not already
# backslashed written "\$".
_fillvars_escape() {
    local text=$1 out= c i escaped=0
    for ((i = 0; i < ${#text}; i++)); do
        c=${text:i:1}
        if ((escaped)); then
            escaped=0
        elif [[ $c == '\' ]]; then
            escaped=1
        elif [[ $c == '$' ]]; then
            out+='\'
        fi
        out+=$c
    done
    printf -v "$2" '%s' "$out"
}

# Whether the file after the option $1 (or "=" after $2) is one of the two
# folders of a folder of templates: -i on a line with --suffix, -o on a line
# with --suffix or with an -i that names a folder.
_fillvars_folders() {
    local option=$1 i word given suffix=0 input=0
    [[ $option == = ]] && option=$2
    [[ $option =~ ^-[behkrsuvV]*i$ || $option == --input ]] && option=i
    [[ $option =~ ^-[behkrsuvV]*o$ || $option == --output ]] && option=o
    [[ $option == [io] ]] || return 1
    for ((i = 1; i < ${#COMP_WORDS[@]}; i++)); do
        ((i == COMP_CWORD)) && continue
        word=${COMP_WORDS[i]}
        [[ $word == -- ]] && break
        [[ $word == --suffix ]] && suffix=1
        given=
        if [[ $word =~ ^-[behkrsuvV]*i$ || $word == --input ]]; then
            ((i + 1 == COMP_CWORD)) && continue
            given=${COMP_WORDS[i + 1]}
            if [[ $given == = ]] && ((i + 2 != COMP_CWORD)); then
                given=${COMP_WORDS[i + 2]}
            fi
        elif [[ $word =~ ^-[behkrsuvV]*i(.+)$ ]]; then
            given=${BASH_REMATCH[1]}
        fi
        [[ -n $given && -d $given ]] && input=1
    done
    ((suffix)) || { ((input)) && [[ $option == o ]]; }
}

# Whether word $1 is -E (alone or closing a group of options that take no
# argument) or --escape, which bash splits from its "=".
_fillvars_is_escape() {
    local w=${COMP_WORDS[$1]}
    [[ $w =~ ^-[behkrsuvV]*E$ || $w == --escape ]] ||
        [[ $w == = && $1 -gt 1 && ${COMP_WORDS[$1 - 1]} == --escape ]]
}

_fillvars() {
    local cur=${COMP_WORDS[COMP_CWORD]} i
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    # After "--" every word is a name.
    local options=1
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -- ]] && options=0
    done

    # A file: after a redirection, which bash splits off as a word of its
    # own, and after -i, -o or -f (alone or closing a group of options that
    # take no argument, such as -uo: in -po the "o" is the prefix), --input,
    # --output or --env-file (bash splits "--output=FILE" at the "=").
    local file=0
    [[ $prev =~ ^[0-9]*\&?[\<\>]+$ ]] && file=1
    if ((options)) && [[ $prev =~ ^-[behkrsuvV]*[iof]$ || $prev =~ ^--(input|output|env-file)$ ||
        ($prev == = && ${COMP_WORDS[COMP_CWORD - 2]} =~ ^--(input|output|env-file)$) ]]; then
        file=1
    fi
    if ((file)); then
        # Right after "--output=", bash hands over the "=" as the word.
        [[ $prev =~ ^--(input|output|env-file)$ && $cur == = ]] && cur=
        compopt -o filenames 2>/dev/null
        local IFS=$'\n' kind=-f
        _fillvars_folders "$prev" "${COMP_WORDS[COMP_CWORD - 2]}" && kind=-d
        COMPREPLY=($(compgen "$kind" -- "$cur"))
        return
    fi
    # A prefix or a suffix is any text: nothing to offer.
    if ((options)) && [[ $prev =~ ^-[behkrsuvV]*p$ || $prev == --prefix || $prev == --suffix ||
        ($prev == = && ${COMP_WORDS[COMP_CWORD - 2]} =~ ^--(prefix|suffix)$) ]]; then
        return
    fi
    # -E FORMAT:NAMES: exported names after the colon, the field after the
    # last comma. Bash splits "url:NAME" at the ":" where COMP_WORDBREAKS
    # holds it (its default), and then replaces only what follows it.
    local lead=
    if ((options)) && ((COMP_CWORD >= 3)) && [[ $cur == : || $prev == : ]]; then
        local colon=$((COMP_CWORD - 1))
        [[ $cur == : ]] && colon=$COMP_CWORD cur=
        if [[ ${COMP_WORDS[colon - 1]} =~ ^(json|xml|url|sh)$ ]] && _fillvars_is_escape $((colon - 2)); then
            [[ $cur == *,* ]] && lead=${cur%,*}, cur=${cur##*,}
            COMPREPLY=($(compgen -P "$lead" -e -- "$cur"))
            return
        fi
    fi
    # -E's formats, or the names of a FORMAT:NAMES typed as one word.
    if ((options)) && _fillvars_is_escape $((COMP_CWORD - 1)); then
        [[ $cur == = ]] && cur=
        if [[ $cur == *:* ]]; then
            lead=${cur%%:*}: cur=${cur#*:}
            [[ $cur == *,* ]] && lead+=${cur%,*}, cur=${cur##*,}
            COMPREPLY=($(compgen -P "$lead" -e -- "$cur"))
            return
        fi
        COMPREPLY=($(compgen -W 'json xml url sh' -- "$cur"))
        return
    fi
    if ((options)) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-b --braced -e --noempty -f --env-file -h --help -i --input
            -k --keep -o --output -p --prefix -r --references -s --shell -u --nounset -v --variables
            -V --version -E --escape --suffix' -- "$cur"))
        return
    fi

    # Bash puts back a quote the user opened; what is offered goes after it.
    local quote=
    if [[ $cur == [\'\"]* ]]; then
        quote=${cur:0:1}
        cur=${cur:1}
    fi
    local head= field=$cur
    if [[ $cur == *,* ]]; then
        head=${cur%,*},
        field=${cur##*,}
    fi
    # The "$" or "${" before the name, and any backslashes typed before it.
    local prefix= suffix=
    if [[ $field =~ ^\\*\$\{? ]]; then
        prefix=${BASH_REMATCH[0]}
        [[ $prefix == *'{' ]] && suffix='}'
    fi
    local name=${field:${#prefix}}
    if [[ $quote != "'" ]]; then
        _fillvars_escape "$head$prefix" prefix
    else
        prefix=$head$prefix
    fi
    local IFS=$'\n'
    COMPREPLY=($(compgen -P "$prefix" -S "$suffix" -e -- "$name"))
}
complete -F _fillvars fillvars
