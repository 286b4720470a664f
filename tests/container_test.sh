#!/usr/bin/env bash
# The container example without a container runtime: docs/container.md shows exactly
# contrib/Dockerfile and the start-up hook, every file the Dockerfile copies
# exists and reaches the build context, the base images are pinned, and the
# hook renders the template, leaves the last good file when a render fails,
# and works as a user who is not root. (static_test.sh runs the Dockerfile's
# build stage.)
# usage: container_test.sh SOURCE_DIR FILLVARS_DIR
set -u
source=$1 bindir=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hook=50-render-config.sh
dockerfile=$source/contrib/Dockerfile

# docs/container.md's ```dockerfile block, and its ```sh block that is a script.
awk '/^```dockerfile$/ { f = 1; next } f && /^```$/ { exit } f' "$source/docs/container.md" >"$work/Dockerfile"
awk '/^```sh$/ { f = 1; text = ""; next }
     f && /^```$/ { if (text ~ /^#!\/bin\/sh\n/) { printf "%s", text; exit } f = 0; next }
     f { text = text $0 "\n" }' "$source/docs/container.md" >"$work/$hook"
for file in Dockerfile "$hook"; do
    if [ ! -s "$work/$file" ]; then
        fail "docs/container.md shows no $file"
    elif ! diff -u "$work/$file" "$source/contrib/$file" >"$work/diff"; then
        fail "docs/container.md's $file differs from contrib/$file:"
        cat "$work/diff"
    fi
done

# The hook goes where the image's entry point runs hooks, and the image keeps
# that entry point: the final stage sets none of its own.
[ -x "$source/contrib/$hook" ] || fail "contrib/$hook is not executable"
grep -qx "COPY contrib/$hook /docker-entrypoint.d/$hook" "$dockerfile" ||
    fail "contrib/Dockerfile does not copy the hook into /docker-entrypoint.d/"
final=$(awk '/^FROM / { stage = "" } { stage = stage $0 "\n" } END { printf "%s", stage }' "$dockerfile")
grep -q '^\(ENTRYPOINT\|CMD\) ' <<<"$final" && fail "the final stage replaces the image's entry point"

# Every base image is pinned to a version (a tag with a version number, or
# a digest), not to a tag that moves.
while read -r _ image _; do
    tag=${image#*:}
    [[ $image == *@sha256:* || ($image == *:* && $tag =~ ^[0-9]+(\.[0-9]+)+(-|$)) ]] ||
        fail "base image not pinned to a version: $image"
done < <(grep '^FROM ' "$dockerfile")

# Sources of COPY (not --from another stage) are paths in the repository,
# and .dockerignore lets them into the build context but not build folders.
# A pattern excludes a path that it or one of the path's parents matches;
# the last pattern that matches decides.
ignored() {
    local path=$1 verdict=1 pattern negate prefix
    while read -r pattern; do
        [[ -z $pattern || $pattern == \#* ]] && continue
        negate=0
        [[ $pattern == !* ]] && negate=1 pattern=${pattern#!}
        pattern=${pattern#/} pattern=${pattern%/}
        prefix=$path
        while :; do
            # shellcheck disable=SC2053
            if [[ $prefix == $pattern ]]; then
                verdict=$negate
                break
            fi
            [[ $prefix == */* ]] || break
            prefix=${prefix%/*}
        done
    done <"$source/.dockerignore"
    return $verdict
}
[ -f "$source/.dockerignore" ] || fail "no .dockerignore beside the build context's root"
for path in build/CMakeCache.txt build-asan/fillvars build-static/fillvars build-fuzz/x .git/HEAD; do
    ignored "$path" || fail ".dockerignore lets $path into the build context"
done
while read -r sources; do
    for path in $sources; do
        path=${path%/}
        [ -e "$source/$path" ] || fail "contrib/Dockerfile copies $path, which does not exist"
        ignored "$path" && fail "contrib/Dockerfile copies $path, which .dockerignore leaves out"
    done
done < <(sed -n 's/^COPY \+\([^-].*\) [^ ]\+$/\1/p' "$dockerfile")

# The hook, with the image's paths moved into a scratch folder; the old
# configuration is the image's own file, root's.
root=$work/root
conf=$root/etc/nginx/conf.d/default.conf
mkdir -p "$root/etc/fillvars" "$root/etc/nginx/conf.d" "$work/bin"
cp "$source/contrib/default.conf.template" "$root/etc/fillvars/"
printf 'the image default\n' >"$conf"
sed "s#/etc/#$root/etc/#g" "$source/contrib/$hook" >"$work/hook"
# A copy of the binary that any user may run, wherever the build is.
cp "$bindir/fillvars" "$work/bin/"
chmod -R a+rX "$work"
# run VARIABLE=VALUE... [COMMAND...]: the hook, with only these variables.
run() {
    local settings=()
    while [[ $# -gt 0 && $1 == *=* ]]; do
        settings+=("$1")
        shift
    done
    env -i PATH="$work/bin:/usr/bin:/bin" "${settings[@]}" "$@" sh "$work/hook"
}
want='server {
    listen 80;
    server_name example.org;
    location / {
        proxy_pass http://app:8080;
        proxy_set_header Host $host;
    }
}'
out=$(run PORT=80 SERVER_NAME=example.org APP_PORT=8080 2>&1)
status=$?
[ $status = 0 ] && [ -z "$out" ] || fail "the hook: status $status, $out"
[ "$(cat "$conf")" = "$want" ] || fail "the hook rendered: $(cat "$conf")"

# A failed render: status 1, so the entry point stops; the last good file
# stays, byte for byte, with nothing beside it.
cp -p "$conf" "$work/good"
out=$(run PORT=81 SERVER_NAME=example.org 2>&1)
status=$?
[ $status = 1 ] || fail "an unset variable: status $status, want 1"
grep -qxF 'fillvars: line 5: "APP_PORT" is not set' <<<"$out" || fail "an unset variable: $out"
cmp -s "$conf" "$work/good" || fail "an unset variable: the configuration changed"
[ "$(ls -A "$root/etc/nginx/conf.d")" = default.conf ] ||
    fail "an unset variable left: $(ls -A "$root/etc/nginx/conf.d")"

# As the server's user, with the folder made its own as the Dockerfile does:
# the hook replaces root's file.
folder=${conf%/*}
folder=/${folder#"$root"/}
grep -q "^RUN .*chown nginx:0 $folder " "$dockerfile" ||
    fail "contrib/Dockerfile does not give $folder to the nginx user"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    chown 65534:0 "$root$folder"
    chmod 775 "$root$folder"
    out=$(run PORT=82 SERVER_NAME=example.org APP_PORT=8080 setpriv --reuid=65534 \
        --regid=65534 --clear-groups 2>&1)
    status=$?
    [ $status = 0 ] || fail "as a user who is not root: status $status, $out"
    grep -q 'listen 82;' "$conf" || fail "as a user who is not root, the hook rendered: $(cat "$conf")"
else
    echo "not root or no setpriv: the hook not run as another user"
fi

[ $failed = 0 ] && echo "container: docs/container.md and contrib/ agree; the hook renders, keeps the last good file"
exit $failed
