#!/usr/bin/env bash
# Asks fish what it would offer for each command line (complete -C), with the
# completion installed in the vendor folder that fish looks in, and checks the
# offers: options, exported names only, and no variable's value.
# usage: completion_fish_test.sh CMAKE BUILD_DIR
set -u
cmake=$1 build=$2
command -v fish >/dev/null || { echo "fish is not installed: skipped"; exit 77; }
failed=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null || { echo "FAIL: install"; exit 1; }
mkdir -p "$work/home" "$work/run/tpl"
# Files for -i, -o and -f to complete.
touch "$work/run/tpl/site.conf.in" "$work/run/tpl/other"
[ -f "$work/prefix/share/fish/vendor_completions.d/fillvars.fish" ] ||
    { echo "FAIL: not installed in share/fish/vendor_completions.d"; exit 1; }

# fish loads a completion only for a command on PATH; T_LOCAL is not exported.
offers() {
    cd "$work/run" && env -i HOME="$work/home" PATH="$work/prefix/bin:/usr/bin:/bin" \
        XDG_DATA_DIRS="$work/prefix/share" T_ONE=secret-value T_TWO=2 LINE="$1" \
        fish -c 'set T_LOCAL 3; complete -C $LINE'
}

# command line (its last word is being completed) | expected offers
while IFS='|' read -r line expected; do
    line=${line%"${line##*[! ]}"}
    [ -n "$line" ] || continue
    out=$(offers "$line")
    got=$(cut -f1 <<<"$out" | sed '/^$/d' | sort | paste -sd' ')
    want=$(printf '%s\n' $expected | sort | paste -sd' ')
    [ "$got" = "$want" ] || { echo "FAIL: [$line]: want [$want], got [$got]"; failed=1; }
    if grep -q secret-value <<<"$out"; then
        echo "FAIL: [$line]: a value is shown: $out"
        failed=1
    fi
done <<'CASES'
fillvars -              | -b --braced -e --noempty -f --env-file -h --help -i --input -k --keep -o --output -p --prefix -r --references -s --shell -u --nounset -v --variables -V --version -E --escape --suffix
fillvars --n            | --noempty --nounset
fillvars --ver          | --version
fillvars T_             | T_ONE T_TWO
fillvars T_O            | T_ONE
fillvars T_L            |
fillvars A,T_T          | A,T_TWO
fillvars '$T_O          | $T_ONE
fillvars \$T_O          | $T_ONE
fillvars "\${T_T        | ${T_TWO}
fillvars 'A,$B,${T_O    | A,$B,${T_ONE}
fillvars -v T_T         | T_TWO
fillvars -p T_          |
fillvars -p X T_O       | T_ONE
fillvars -o tpl/s       | tpl/site.conf.in
fillvars -o T_          |
fillvars --output=tpl/o | --output=tpl/other
fillvars -uo tpl/       | tpl/other tpl/site.conf.in
fillvars -f tpl/s       | tpl/site.conf.in
fillvars --env-file=tpl/o | --env-file=tpl/other
fillvars -i tpl/s       | tpl/site.conf.in
fillvars --input=tpl/o  | --input=tpl/other
fillvars -i T_          |
fillvars -E j           | json
fillvars --escape=x     | --escape=xml
fillvars -E sh T_O      | T_ONE
fillvars -E url:T_O     | url:T_ONE
fillvars -E url:A,T_T   | url:A,T_TWO
fillvars --escape=sh:T_O | --escape=sh:T_ONE
fillvars -Ejson:T_T     | -Ejson:T_TWO
CASES

[ $failed = 0 ] && echo "fish completion: all checks passed"
exit $failed
