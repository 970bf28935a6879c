#!/bin/sh
# pkexec for the package test's sandbox, where no set-user-id program can gain root: bubblewrap
# sets no_new_privs for everything it starts. A root process started in the sandbox before the
# user's runs each command instead, as an accepted prompt would.
#   pkexec-standin.sh serve COMMAND...  as root: serves requests in the background, runs COMMAND
#   pkexec /bin/sh -c TEXT              as the user (bound over /usr/bin/pkexec): TEXT runs as
#                                       root with this program's standard input
q=/tmp/.pkexec
if [ "${1:-}" = serve ]; then
    shift
    mkdir -m 0733 "$q" && mkfifo -m 0622 "$q/requests" || exit 1
    while :; do
        read -r d < "$q/requests" || continue
        /bin/sh -c "$(cat "$d/command")" < "$d/in" > "$d/out" 2> "$d/err"
        echo $? > "$d/rc.new" && mv "$d/rc.new" "$d/rc"
    done &
    exec "$@"
fi
[ $# = 3 ] && [ "$1" = /bin/sh ] && [ "$2" = -c ] || exit 127
d=$(mktemp -d "$q/r.XXXXXX") && printf '%s' "$3" > "$d/command" && mkfifo "$d/in" || exit 127
echo "$d" > "$q/requests"
cat > "$d/in"
until [ -e "$d/rc" ]; do sleep 0.1; done
cat "$d/out"
cat "$d/err" >&2
exit "$(cat "$d/rc")"
