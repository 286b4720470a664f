# fish completion for fillvars: its options, file names for -i, -o and -f, -E's
# formats, and the names of exported variables for operands (bare or after a
# "$" or "${" that is quoted or escaped) and after -E FORMAT:. An operand may
# be a comma list, so only the field after the last comma is completed.
# Values are not shown: they may be secrets.

function __fillvars_names
    # The token as fish matches the offers against it: unquoted, unescaped.
    set -l token (commandline -ct | string unescape)
    set -l lead (string replace -r -- '^((?:.*,)?(?:\$\{?)?).*$' '$1' "$token")
    set -l close
    string match -q -- '*{' "$lead"; and set close '}'
    for name in (set --names --export)
        printf '%s%s%s\n' "$lead" $name $close
    end
end

# -E FORMAT, or FORMAT:NAMES: the formats, and exported names after the
# colon, the field after the last comma.
function __fillvars_escape
    set -l token (commandline -ct | string unescape)
    set -l arg (string replace -r -- '^(--escape=|-[behkrsuvV]*E)' '' "$token")
    if string match -q -- '*:*' "$arg"
        set -l lead (string replace -r -- '^([^:]*:(?:.*,)?).*$' '$1' "$arg")
        for name in (set --names --export)
            printf '%s%s\n' "$lead" $name
        end
    else
        printf '%s\n' json xml url sh
    end
end

complete -c fillvars -s h -l help -d 'Write the usage text and exit'
complete -c fillvars -s f -l env-file -r -F -d 'Also take variables from a file of NAME=VALUE lines'
complete -c fillvars -s i -l input -r -F -d 'Read the template from a file, not standard input'
complete -c fillvars -s o -l output -r -F -d 'Write to FILE, replaced only when the run succeeds'
complete -c fillvars -s u -l nounset -d 'Report references to variables that are not set'
complete -c fillvars -s e -l noempty -d 'Report references to variables that are empty'
complete -c fillvars -s k -l keep -d 'Keep references to variables that are not set'
complete -c fillvars -s b -l braced -d 'Replace only references written ${NAME}'
complete -c fillvars -s r -l references -d 'Write the names of the references in the input, not the text'
complete -c fillvars -s s -l shell -d "Read references by the shell's rules, with \${NAME:-default}"
complete -c fillvars -s p -l prefix -x -d 'Also allow the names that begin with a prefix'
complete -c fillvars -s v -l variables -d 'List the names given as operands'
complete -c fillvars -s V -l version -d 'Write the version and exit'
complete -c fillvars -l suffix -x -d 'With -i FOLDER: render only the files whose names end in SUFFIX'
complete -c fillvars -s E -l escape -x -a '(__fillvars_escape)' -d 'Escape values for the file they land in'
complete -c fillvars -f -a '(__fillvars_names)' -d 'Exported variable'
