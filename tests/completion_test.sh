#!/usr/bin/env bash
# Drives the bash completion function as bash would, word by word, and checks
# what it offers: outside single quotes a "$" comes out escaped, or the shell
# would expand it. The zsh function gets a syntax check where zsh exists.
# completion_live_test.sh types into a real bash; this covers more cases fast.
# usage: completion_test.sh SOURCE_DIR
set -u
source=$1
# A known environment: two exported names to offer, one unexported to leave out.
if [ "${FILLVARS_COMPLETION_ENV:-}" != set ]; then
    exec env -i PATH="$PATH" FILLVARS_COMPLETION_ENV=set T_ONE=1 T_TWO=2 bash "$0" "$@"
fi
T_LOCAL=3
failed=0
# Files to complete after -o and after a redirection.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tpl"
touch "$work/tpl/site.conf.in" "$work/tpl/other"
# A folder of templates, and where its outputs go: folders alone are offered.
mkdir -p "$work/site/conf.d"
touch "$work/site/a.template"
cd "$work" || exit 1

source "$source/completions/fillvars.bash"
[ "$(complete -p fillvars)" = "complete -F _fillvars fillvars" ] ||
    { echo "FAIL: not registered: $(complete -p fillvars 2>&1)"; failed=1; }

# words on the line (the last one is being completed) | expected offers
while IFS='|' read -r line expected; do
    [ -n "$line" ] || continue
    eval "COMP_WORDS=($line)"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _fillvars
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    want=$(printf '%s\n' $expected | sort | paste -sd' ')
    [ "$got" = "$want" ] || { echo "FAIL: [$line]: want [$want], got [$got]"; failed=1; }
done <<'CASES'
fillvars -                   | -b --braced -e --noempty -f --env-file -h --help -i --input -k --keep -o --output -p --prefix -r --references -s --shell -u --nounset -v --variables -V --version -E --escape --suffix
fillvars --v                 | --variables --version
fillvars --he                | --help
fillvars --n                 | --noempty --nounset
fillvars --pr                | --prefix
fillvars -p T_               |
fillvars --prefix T_         |
fillvars -p X T_O            | T_ONE
fillvars -V                  | -V
fillvars A -                 | -b --braced -e --noempty -f --env-file -h --help -i --input -k --keep -o --output -p --prefix -r --references -s --shell -u --nounset -v --variables -V --version -E --escape --suffix
fillvars --o                 | --output
fillvars -o tpl/s            | tpl/site.conf.in
fillvars -o T_O              |
fillvars --output tpl/       | tpl/site.conf.in tpl/other
fillvars --output = tpl/o    | tpl/other
fillvars --output =          | tpl site
fillvars -uo tpl/s           | tpl/site.conf.in
fillvars -ro tpl/s           | tpl/site.conf.in
fillvars --r                 | --references
fillvars -i tpl/s            | tpl/site.conf.in
fillvars -ui tpl/            | tpl/site.conf.in tpl/other
fillvars --input tpl/o       | tpl/other
fillvars --input = tpl/o     | tpl/other
fillvars --input =           | tpl site
fillvars -i T_O              |
fillvars -pi T_O             | T_ONE
fillvars --i                 | --input
fillvars -f tpl/s            | tpl/site.conf.in
fillvars -uf tpl/            | tpl/site.conf.in tpl/other
fillvars --env-file tpl/o    | tpl/other
fillvars --env-file = tpl/o  | tpl/other
fillvars --env-file =        | tpl site
fillvars -f T_O              |
fillvars -fo T_O             | T_ONE
fillvars -pf T_O             | T_ONE
fillvars --e                 | --env-file --escape
fillvars --es                | --escape
fillvars -E j                | json
fillvars --escape = x        | xml
fillvars --escape =          | json xml url sh
fillvars -uE s               | sh
fillvars -E sh T_O           | T_ONE
fillvars -E url:T_O          | url:T_ONE
fillvars -E url:A,T_         | url:A,T_ONE url:A,T_TWO
fillvars -sE json:T_T        | json:T_TWO
fillvars -E url : T_O        | T_ONE
fillvars -E url : A,T_T      | A,T_TWO
fillvars --escape = sh : T_O | T_ONE
fillvars -E shell : T_O      | T_ONE
fillvars -p url : T_O        | T_ONE
fillvars -Eo T_O             | T_ONE
fillvars -po T_O             | T_ONE
fillvars -op T_O             | T_ONE
fillvars -u T_O              | T_ONE
fillvars -- -o T_O           | T_ONE
fillvars '<' tpl/s           | tpl/site.conf.in
fillvars A '>' tpl/o         | tpl/other
fillvars '>>' tpl/o          | tpl/other
fillvars 2'>' tpl/o          | tpl/other
fillvars -p tpl/s            |
fillvars --prefix = T_       |
fillvars -up X T_O           | T_ONE
fillvars T_                  | T_ONE T_TWO
fillvars T_O                 | T_ONE
fillvars T_NONE              |
fillvars '$T_'               | \$T_ONE \$T_TWO
fillvars '${T_T'             | \${T_TWO}
fillvars "'\$T_O"            | $T_ONE
fillvars "'\$A,\${T_O"       | $A,${T_ONE}
fillvars "\"\${T_O"          | \${T_ONE}
fillvars "\"\$A,\$T_O"       | \$A,\$T_ONE
fillvars '\$T_O'             | \$T_ONE
fillvars '\\$T_O'            | \\\$T_ONE
fillvars 'A,\${T_T'          | A,\${T_TWO}
fillvars 'A,T_T'             | A,T_TWO
fillvars 'A,,$T_O'           | A,,\$T_ONE
fillvars '$A,${T_O'          | \$A,\${T_ONE}
fillvars '\$A,$T_O'          | \$A,\$T_ONE
fillvars -v T_O              | T_ONE
fillvars -- -                |
fillvars -- T_O              | T_ONE
fillvars -- A '$T_T'         | \$T_TWO
fillvars --su                | --suffix
fillvars --suffix .t         |
fillvars --suffix = .t       |
fillvars -o site/            | site/conf.d site/a.template
fillvars -i tpl -o site/     | site/conf.d
fillvars -i tpl --output = site/ | site/conf.d
fillvars -uitpl -o site/     | site/conf.d
fillvars -i tpl/other -o site/ | site/conf.d site/a.template
fillvars --suffix = .t -o site/ | site/conf.d
fillvars --suffix .t -i site/ | site/conf.d
fillvars --suffix .t -o x -i site/ | site/conf.d
fillvars --suffix .t -f site/ | site/conf.d site/a.template
fillvars -- --suffix -i site/ | 
CASES
# No offer holds a name that is not exported.
COMP_WORDS=(fillvars '') COMP_CWORD=1
_fillvars
for word in "${COMPREPLY[@]}"; do
    [ "$word" = T_LOCAL ] && { echo "FAIL: offered the unexported T_LOCAL"; failed=1; }
done

if command -v zsh >/dev/null; then
    zsh -n "$source/completions/_fillvars" || { echo "FAIL: zsh syntax"; failed=1; }
else
    echo "zsh not installed: its completion not checked"
fi

[ $failed = 0 ] && echo "completion: all checks passed"
exit $failed
