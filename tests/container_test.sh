#!/usr/bin/env bash
# The container example without a container runtime: docs/container.md shows exactly
# contrib/Dockerfile and the start-up hook, every file the Dockerfile copies
# exists and reaches the build context, the base images are pinned, and the
# hook renders a folder of templates with a subfolder, changes nothing when
# one template fails, every output once all succeed, and works as a user who
# is not root. (static_test.sh runs the Dockerfile's
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

# The hook, with the image's paths moved into a scratch folder: the recipe's
# templates, a subfolder of them, and the image's own configuration, root's,
# with a file that no template renders.
root=$work/root
templates=$root/etc/nginx/templates
confd=$root/etc/nginx/conf.d
conf=$confd/default.conf
mkdir -p "$templates" "$confd" "$work/bin"
cp -R "$source/contrib/templates/." "$templates/"
[ -f "$templates/sites/app.conf.template" ] || fail "contrib/templates has no subfolder of templates"
printf 'the image default\n' >"$conf"
printf 'not a template\n' >"$confd/other.conf"
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
# Every file under conf.d with its bytes, to compare one state with another.
state() { (cd "$confd" && find . -type f | sort | xargs -d '\n' tail -n +1); }
want='server {
    listen 80;
    server_name example.org;
    include /etc/nginx/conf.d/sites/*.conf;
}
location / {
    proxy_pass http://app:8080;
    proxy_set_header Host $host;
}'
out=$(run NGINX_PORT=80 NGINX_SERVER_NAME=example.org NGINX_APP_PORT=8080 2>&1)
status=$?
[ $status = 0 ] && [ -z "$out" ] || fail "the hook: status $status, $out"
[ "$(cat "$conf" "$confd/sites/app.conf")" = "$want" ] ||
    fail "the hook rendered: $(cat "$conf" "$confd/sites/app.conf")"
grep -qx 'not a template' "$confd/other.conf" || fail "the hook changed a file no template renders"

# One template fails: status 1, so the entry point stops; every file stays,
# byte for byte, with nothing beside them.
before=$(state)
out=$(run NGINX_PORT=81 NGINX_SERVER_NAME=example.org 2>&1)
status=$?
[ $status = 1 ] || fail "an unset variable: status $status, want 1"
grep -qxF "fillvars: $templates/sites/app.conf.template:2: \"NGINX_APP_PORT\" is not set" <<<"$out" ||
    fail "an unset variable: $out"
[ "$(state)" = "$before" ] || fail "an unset variable: the configuration changed"
[ "$(cd "$confd" && find . | sort | paste -sd' ')" = ". ./default.conf ./other.conf ./sites ./sites/app.conf" ] ||
    fail "an unset variable left: $(cd "$confd" && find . | sort | paste -sd' ')"

# Then all good: every output new.
out=$(run NGINX_PORT=82 NGINX_SERVER_NAME=example.net NGINX_APP_PORT=9090 2>&1)
status=$?
[ $status = 0 ] || fail "all set again: status $status, $out"
grep -q 'listen 82;' "$conf" && grep -q 'example.net' "$conf" &&
    grep -q 'app:9090;' "$confd/sites/app.conf" ||
    fail "all set again, the hook rendered: $(cat "$conf" "$confd/sites/app.conf")"

# As the server's user, with the folder made its own as the Dockerfile does:
# the hook replaces root's file.
folder=${conf%/*}
folder=/${folder#"$root"/}
grep -q "^RUN .*chown nginx:0 $folder " "$dockerfile" ||
    fail "contrib/Dockerfile does not give $folder to the nginx user"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    chown 65534:0 "$root$folder"
    chmod 775 "$root$folder"
    # A first start as that user: the subfolder is theirs to make.
    rm -r "$confd/sites"
    out=$(run NGINX_PORT=83 NGINX_SERVER_NAME=example.org NGINX_APP_PORT=8080 setpriv \
        --reuid=65534 --regid=65534 --clear-groups 2>&1)
    status=$?
    [ $status = 0 ] || fail "as a user who is not root: status $status, $out"
    grep -q 'listen 83;' "$conf" || fail "as a user who is not root, the hook rendered: $(cat "$conf")"
else
    echo "not root or no setpriv: the hook not run as another user"
fi

[ $failed = 0 ] && echo "container: docs/container.md and contrib/ agree; the hook renders, keeps the last good files"
exit $failed
