#!/usr/bin/env bash
# Types into a real interactive bash, with the bash-completion package loaded
# as users have it and the completion installed where its loader looks, then
# checks the line that each completion left and what fillvars received: a
# "$" left for the shell to expand would hand it a value instead of a name.
# usage: completion_live_test.sh CMAKE BUILD_DIR
set -u
cmake=$1 build=$2
loader=/usr/share/bash-completion/bash_completion
command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }
[ -f "$loader" ] || { echo "bash-completion is not installed: skipped"; exit 77; }
failed=0

work=$(mktemp -d)
sock=$work/tmux.sock
trap 'tmux -S "$sock" kill-server 2>/dev/null; rm -rf "$work"' EXIT
# A test killed at its CTest timeout gets SIGKILL, which no trap sees, and
# the tmux server is no child of this script: a watcher, no child of it
# either, ends the server (and with it the shell and what that runs) once
# the script is gone. Its output goes nowhere, so CTest does not wait for it.
# The shell writes its history as it ends: the folder goes once it is done.
(setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
    tmux -S "$2" kill-server 2>/dev/null
    for ((i = 0; i < 10; i++)); do rm -rf "$3" 2>/dev/null; [ -e "$3" ] || break; sleep 1; done
    ' _ $$ "$sock" "$work" </dev/null >/dev/null 2>&1 &)
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null || { echo "FAIL: install"; exit 1; }
mkdir -p "$work/home" "$work/run/tpl"
# Files for -i, -o, -f and the redirections to complete.
touch "$work/run/tpl/site.conf.in" "$work/run/tpl/errors.log"
# Each command line goes to the history file before the next prompt.
printf '%s\n' ". $loader" "PS1='\$ '" "HISTFILE=$work/history" "PROMPT_COMMAND='history -a'" \
    "bind 'set bell-style none'" >"$work/rc"
tmux -S "$sock" -f /dev/null new-session -d -x 200 -y 50 -c "$work/run" \
    env -i HOME="$work/home" TERM=screen PATH="$work/prefix/bin:/usr/bin:/bin" \
    XDG_DATA_DIRS="$work/prefix/share" MYAPP_PORT=8080 MYAPP_HOST=db.internal \
    bash --noprofile --rcfile "$work/rc" -i || { echo "FAIL: tmux did not start"; exit 1; }
for ((wait = 0; wait < 100; wait++)); do
    [ "$(tmux -S "$sock" capture-pane -p | sed '/^$/d')" = '$' ] && break
    sleep 0.1
done

# typed before the Tab | typed after it | the line as run | what fillvars -v printed
n=0
while IFS='|' read -r before after line printed; do
    [ -n "$before" ] || continue
    n=$((n + 1))
    before=${before%"${before##*[! ]}"} after=${after// /} printed=${printed// /}
    line=${line# } line=${line%"${line##*[! ]}"}
    tmux -S "$sock" send-keys -l "$before"
    tmux -S "$sock" send-keys Tab
    tmux -S "$sock" send-keys -l "$after >out$n"
    tmux -S "$sock" send-keys Enter
    for ((wait = 0; wait < 100; wait++)); do
        [ "$(cat "$work/history" 2>/dev/null | wc -l)" -ge $n ] && break
        sleep 0.1
    done
    got=$(sed -n "${n}p" "$work/history" 2>/dev/null | sed "s/ *>out$n\$//")
    [ "$got" = "$line" ] || { echo "FAIL: [$before<Tab>$after]: line [$got], want [$line]"; failed=1; }
    got=$(paste -sd, "$work/run/out$n" 2>/dev/null)
    [ "$got" = "$printed" ] ||
        { echo "FAIL: [$before<Tab>$after]: fillvars got [$got], want [$printed]"; failed=1; }
done <<'CASES'
fillvars -v MYAPP_P           |      | fillvars -v MYAPP_PORT             | MYAPP_PORT
fillvars -v $MYAPP_P          |      | fillvars -v \$MYAPP_PORT           | MYAPP_PORT
fillvars -v ${MYAPP_P         |      | fillvars -v \${MYAPP_PORT}         | MYAPP_PORT
fillvars -v '$MYAPP_P         |      | fillvars -v '$MYAPP_PORT'          | MYAPP_PORT
fillvars -v "${MYAPP_P        |      | fillvars -v "\${MYAPP_PORT}"       | MYAPP_PORT
fillvars -v \$MYAPP_P         |      | fillvars -v \$MYAPP_PORT           | MYAPP_PORT
fillvars -v $MYAPP_H,$MYAPP_P |      | fillvars -v \$MYAPP_H,\$MYAPP_PORT | MYAPP_H,MYAPP_PORT
fillvars -v $MYAPP_           | HOST | fillvars -v \$MYAPP_HOST           | MYAPP_HOST
fillvars --vari               | PATH | fillvars --variables PATH          | PATH
fillvars -v A -o tpl/si       |      | fillvars -v A -o tpl/site.conf.in  | A
fillvars -v A --output=tpl/s  |      | fillvars -v A --output=tpl/site.conf.in | A
fillvars -v A -f tpl/si       |      | fillvars -v A -f tpl/site.conf.in  | A
fillvars -v A -i tpl/si       |      | fillvars -v A -i tpl/site.conf.in  | A
fillvars -v A < tpl/si        |      | fillvars -v A < tpl/site.conf.in   | A
fillvars -v A > tpl/er        |      | fillvars -v A > tpl/errors.log     | A
CASES

if [ $failed != 0 ]; then
    echo "the screen at the end:"
    tmux -S "$sock" capture-pane -p | sed '/^$/d'
fi
[ $failed = 0 ] && echo "completion in an interactive bash: $n cases passed"
exit $failed
