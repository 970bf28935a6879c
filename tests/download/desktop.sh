#!/bin/sh
# The desktop tst_proxy runs against, in its folder D:
#   desktop.sh start D PORT AUTH-PORT USER PASSWORD
#       a session bus of its own, on which nothing can be started but GLib's PAC runner, and
#       tinyproxy on 127.0.0.1:PORT and, asking for USER's password, on AUTH-PORT; prints "ready"
#       once all listen (or which tool is not installed), and ends them when terminated
#   desktop.sh desktop D KIOSLAVERC [manual PORT [USER PASSWORD] | auto PAC-URL | silent]
#       KDE's and GNOME's settings afresh in the user's config folder (GNOME's in its key
#       file); with GNOME's, the desktop portal is started on them; silent: the portal's name is
#       held by a process that never answers
set -eu
export GSETTINGS_BACKEND=keyfile XDG_CURRENT_DESKTOP=GNOME
what=$1 d=$2
shift 2
proxy() { # PORT [USER PASSWORD]
    printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nUser nobody\nGroup nogroup\n' \
        "$1" >"$d/proxy-$1.conf"
    [ $# -lt 3 ] || printf 'BasicAuth %s %s\n' "$2" "$3" >>"$d/proxy-$1.conf"
    tinyproxy -d -c "$d/proxy-$1.conf" >"$d/proxy-$1.log" 2>&1 &
    pids="$pids $!"
}
pids=
case $what in
start)
    for t in tinyproxy dbus-daemon dbus-test-tool gsettings /usr/libexec/xdg-desktop-portal \
        /usr/libexec/glib-pacrunner; do
        command -v "$t" >/dev/null || { echo "not installed: $t"; exit 0; }
    done
    mkdir -p "$d/services"
    printf '[D-BUS Service]\nName=org.gtk.GLib.PACRunner\nExec=/usr/libexec/glib-pacrunner\n' \
        >"$d/services/pac.service"
    cat >"$d/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:path=$d/bus</listen>
<servicedir>$d/services</servicedir><policy context="default">
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>
CONF
    trap 'kill $pids; wait; exit 0' TERM
    dbus-daemon --nofork --config-file="$d/bus.conf" 2>"$d/bus.log" &
    pids=$!
    proxy "$1"
    proxy "$2" "$3" "$4"
    n=0
    until [ -S "$d/bus" ] &&
        [ "$(grep -ls Accepting "$d/proxy-$1.log" "$d/proxy-$2.log" | wc -l)" = 2 ]; do
        n=$((n + 1))
        [ $n -lt 200 ] || exit 1
        sleep 0.05
    done
    echo ready
    wait
    ;;
desktop)
    c=${XDG_CONFIG_HOME:-$HOME/.config}
    mkdir -p "$c"
    printf '%s' "$1" >"$c/kioslaverc"
    shift
    rm -f "$c/glib-2.0/settings/keyfile"
    [ $# -gt 0 ] || exit 0
    [ "$1" != silent ] || exec dbus-test-tool black-hole --session --name=org.freedesktop.portal.Desktop
    p=org.gnome.system.proxy
    gsettings set $p ignore-hosts '[]'
    gsettings set $p mode "'$1'"
    if [ "$1" = auto ]; then
        gsettings set $p autoconfig-url "'$2'"
    else
        for s in http https; do
            gsettings set $p.$s host "'127.0.0.1'"
            gsettings set $p.$s port "$2"
        done
    fi
    if [ $# -gt 3 ]; then
        gsettings set $p.http use-authentication true
        gsettings set $p.http authentication-user "'$3'"
        gsettings set $p.http authentication-password "'$4'"
    fi
    exec /usr/libexec/xdg-desktop-portal -r
    ;;
esac
