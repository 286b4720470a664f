#!/usr/bin/env bash
# Builds the static binary as the build stage of contrib/Dockerfile does (its
# WORKDIR, COPY and RUN steps, into a scratch folder; the toolchain that its
# apt-get step installs is already here), then checks that the binary needs
# no program interpreter or shared library and that it runs the README's
# example with an empty environment, alone in an empty folder, as in a
# minimal image.
# usage: static_test.sh SOURCE_DIR
set -u
source=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root

# The Dockerfile's instructions, a continued line joined to the one before.
instructions=$(sed -e ':a' -e '/\\$/{N;s/\\\n//;ba' -e '}' "$source/contrib/Dockerfile" |
    grep -v '^[[:space:]]*\(#\|$\)')
stage=0 workdir=/ binary=
while read -r keyword args; do
    case $keyword in
    FROM) stage=$((stage + 1)) ;;
    WORKDIR) [ $stage = 1 ] && workdir=$args && mkdir -p "$root$workdir" ;;
    COPY)
        if [ $stage = 1 ]; then
            # As Docker copies: a folder's contents, a file by itself.
            read -ra paths <<<"$args"
            dest=${paths[-1]}
            [[ $dest == */ ]] || { fail "COPY to a folder ending in / expected: $args"; continue; }
            [[ $dest == /* ]] || dest=$workdir/$dest
            mkdir -p "$root$dest"
            for path in "${paths[@]:0:${#paths[@]}-1}"; do
                if [ -d "$source/$path" ]; then
                    cp -R "$source/$path/." "$root$dest" || fail "COPY $args"
                else
                    cp "$source/$path" "$root$dest" || fail "COPY $args"
                fi
            done
        elif [[ $args == --from=build\ * ]]; then
            read -r _ from _ <<<"$args"
            binary=$root$from
        fi
        ;;
    RUN)
        [ $stage = 1 ] || continue
        [[ $args == apt-get* ]] && continue
        (cd "$root$workdir" && sh -c "$args") >"$work/build.log" 2>&1 ||
            { cat "$work/build.log"; fail "RUN $args"; }
        ;;
    esac
done <<<"$instructions"
[ -n "$binary" ] || { echo "FAIL: no COPY --from=build in contrib/Dockerfile"; exit 1; }
[ -f "$binary" ] || { echo "FAIL: the build stage made no $binary"; exit 1; }

headers=$(readelf -l "$binary")
grep -q 'Elf file type is EXEC\|Elf file type is DYN' <<<"$headers" || fail "not an executable"
grep -q INTERP <<<"$headers" && fail "has a program interpreter: $(grep -A1 INTERP <<<"$headers")"
readelf -d "$binary" | grep -q NEEDED && fail "needs shared libraries: $(readelf -d "$binary" | grep NEEDED)"

# The README's first command, run on the binary alone in an empty folder with
# nothing in its environment but the variables the example sets.
readme=$(cat "$source/README.md")
command=$(sed -n '/^```sh$/{n;p;q}' <<<"$readme")
command=${command##* && }
said=$(sed -n 's/^The first prints `\([^`]*\)`.*/\1/p' <<<"$readme")
[[ $command == *"| env "*" ./build/fillvars"* && -n $said ]] ||
    { echo "FAIL: README's first command or what it prints not found: $command"; exit 1; }
command=${command/| env /| env -i }
command=${command/.\/build\/fillvars/.\/fillvars}
mkdir "$work/empty"
cp "$binary" "$work/empty/fillvars"
got=$(cd "$work/empty" && sh -c "$command" 2>&1)
[ "$got" = "$said" ] || fail "$command printed [$got], want [$said]"

# Without the C library's locale files, as in a scratch image, UTF-8 is the
# C locale: the value forms go by bytes. Only where chroot is allowed.
root_in=$(command -v chroot)
if [ -n "$root_in" ] && "$root_in" "$work/empty" /fillvars -V >/dev/null 2>&1; then
    bytes=$(printf '${#N} ${N^^}' | env -i LC_ALL=C.UTF-8 N=Zoë "$root_in" "$work/empty" /fillvars -s)
    [ "$bytes" = "4 ZOë" ] ||
        fail "with no locale data LC_ALL=C.UTF-8 printed [$bytes], want [4 ZOë]"
fi

[ $failed = 0 ] && echo "static: $(wc -c <"$binary") bytes, no interpreter; $command: $got"
exit $failed
