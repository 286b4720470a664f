#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs what was installed: the
# files land where man, bash-completion, zsh and fish look, and the tool works.
# usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1 build=$2 source=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: install"; exit 1; }

# installed file, and the source it must be a copy of (none for the binary)
while read -r installed origin; do
    [ -f "$prefix/$installed" ] || { fail "missing $installed"; continue; }
    [ "$origin" = - ] || cmp -s "$prefix/$installed" "$source/$origin" ||
        fail "$installed differs from $origin"
done <<'LIST'
bin/fillvars -
share/man/man1/fillvars.1 man/fillvars.1
share/bash-completion/completions/fillvars completions/fillvars.bash
share/zsh/site-functions/_fillvars completions/_fillvars
share/fish/vendor_completions.d/fillvars.fish completions/fillvars.fish
share/doc/fillvars/LICENSE LICENSE
LIST
[ -x "$prefix/bin/fillvars" ] || fail "bin/fillvars is not executable"

out=$(printf 'listen ${PORT}; host $host\n' | env -i PORT=8080 "$prefix/bin/fillvars" PORT 2>&1)
[ "$out" = 'listen 8080; host $host' ] || fail "installed binary printed: $out"
out=$("$prefix/bin/fillvars" --version 2>&1)
[ "$out" = 'fillvars 0.1' ] || fail "installed binary --version printed: $out"

[ $failed = 0 ] && echo "install: all checks passed"
exit $failed
