#!/usr/bin/env bash
# The manual renders without a single formatter warning, and it still
# documents every message the program can write and every option it takes.
# usage: man_test.sh SOURCE_DIR
set -u
source=$1
page=$source/man/fillvars.1
if ! command -v groff >/dev/null; then
    echo "groff is not installed (Debian: groff-base)"
    exit 77
fi
failed=0

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "FAIL: groff warnings:"
    echo "$warnings"
    failed=1
fi

text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
# Every message: the fixed ones, and one per operation that fail() reports.
messages=("fillvars: no variables defined" "fillvars: write:")
while read -r op; do
    messages+=("fillvars: $op:")
done < <(grep -ho 'fail("[a-z_]*")' "$source"/src/*.cpp "$source"/src/*.hpp |
         sed 's/fail("\(.*\)")/\1/' | sort -u)
[ ${#messages[@]} -gt 2 ] || { echo "FAIL: found no fail() calls in src"; failed=1; }
# Every option in the option table, long and short: each row must parse.
rows=$(grep -c '{"[a-z-]*", ' "$source/src/command_line.cpp")
parsed=0
while read -r long short; do
    parsed=$((parsed + 1))
    messages+=("-$short, --$long")
done < <(sed -n 's/^ *{"\([a-z-]*\)", [a-z_]*, nullptr, '"'"'\(.\)'"'"'},.*/\1 \2/p' "$source/src/command_line.cpp")
# Long options alone, whose value is a constant of command_line.hpp's.
while read -r long; do
    parsed=$((parsed + 1))
    messages+=("--$long")
done < <(sed -n 's/^ *{"\([a-z-]*\)", [a-z_]*, nullptr, [A-Z_]*},.*/\1/p' "$source/src/command_line.cpp")
[ "$parsed" -gt 0 ] && [ "$parsed" = "$rows" ] ||
    { echo "FAIL: read $parsed of the $rows options in src/command_line.cpp (one row a line)"; failed=1; }
for m in "${messages[@]}"; do
    grep -qF -- "$m" <<<"$text" || { echo "FAIL: the manual does not mention: $m"; failed=1; }
done

[ $failed = 0 ] && echo "man: renders cleanly; ${#messages[@]} messages and options documented"
exit $failed
