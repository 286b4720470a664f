#!/usr/bin/env bash
# The container example without a container runtime: README shows exactly
# contrib/Dockerfile and the entry point, every file the Dockerfile copies
# exists, and the entry point renders the template and then runs its command.
# (static_test.sh runs the Dockerfile's build stage.)
# usage: container_test.sh SOURCE_DIR FILLVARS_DIR
set -u
source=$1 bindir=$2
failed=0
fail() { echo "FAIL: $*"; failed=1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# README's ```dockerfile block, and its ```sh block that is a script.
awk '/^```dockerfile$/ { f = 1; next } f && /^```$/ { exit } f' "$source/README.md" >"$work/Dockerfile"
awk '/^```sh$/ { f = 1; text = ""; next }
     f && /^```$/ { if (text ~ /^#!\/bin\/sh\n/) { printf "%s", text; exit } f = 0; next }
     f { text = text $0 "\n" }' "$source/README.md" >"$work/render-config"
for file in Dockerfile render-config; do
    if [ ! -s "$work/$file" ]; then
        fail "README shows no $file"
    elif ! diff -u "$work/$file" "$source/contrib/$file" >"$work/diff"; then
        fail "README's $file differs from contrib/$file:"
        cat "$work/diff"
    fi
done
[ -x "$source/contrib/render-config" ] || fail "contrib/render-config is not executable"

# Sources of COPY (not --from another stage) are paths in the repository.
while read -r sources; do
    for path in $sources; do
        [ -e "$source/$path" ] || fail "contrib/Dockerfile copies $path, which does not exist"
    done
done < <(sed -n 's/^COPY \+\([^-].*\) [^ ]\+$/\1/p' "$source/contrib/Dockerfile")

# The entry point, with the image's paths moved into a scratch folder.
mkdir -p "$work/etc/nginx/templates" "$work/etc/nginx/conf.d"
cp "$source/contrib/default.conf.template" "$work/etc/nginx/templates/"
sed "s#/etc/nginx/#$work/etc/nginx/#g" "$source/contrib/render-config" >"$work/entry"
run() {
    env -i PATH="$bindir:/usr/bin:/bin" "$@" sh "$work/entry" cat "$work/etc/nginx/conf.d/default.conf"
}
out=$(run PORT=80 SERVER_NAME=example.org APP_PORT=8080 2>/dev/null)
want='server {
    listen 80;
    server_name example.org;
    location / {
        proxy_pass http://app:8080;
        proxy_set_header Host $host;
    }
}'
[ "$out" = "$want" ] || fail "the entry point gave: $out"

# Without -u the unset variable would leave a hole in the configuration.
out=$(run PORT=80 SERVER_NAME=example.org 2>&1)
status=$?
[ $status = 1 ] || fail "an unset variable: status $status, want 1"
grep -q '^server {' <<<"$out" && fail "an unset variable: the command still ran"
grep -qF 'fillvars: line 5: "APP_PORT" is not set' <<<"$out" || fail "an unset variable: $out"

[ $failed = 0 ] && echo "container: README and contrib/ agree; the entry point renders and runs"
exit $failed
