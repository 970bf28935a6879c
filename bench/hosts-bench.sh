#!/usr/bin/env bash
# Times the download of a signed 4 MiB image (its .sig, then the image) over two download hosts
# when the first is healthy, drops every packet, or trickles the image at 2 bytes a second, the
# second being healthy; runs the three side by side, 3 runs each, alternating, and prints the
# medians and the extra time of each fault against the healthy run (goals: at most 2 s for the
# dropping host, at most 30 s for the trickling one). Everything runs in a private network
# namespace of its own, loopback only. The dropping host is a listener whose queue of connections
# is kept full: the kernel drops every further SYN, as a firewall that drops does.
# Usage: bench/hosts-bench.sh [BUILD_DIR]
#   BUILD_DIR holds bin/quillmarsh-hosts-bench and bin/quillmarsh-sign-image (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ -z "${QM_HOSTS_BENCH_NETNS:-}" ]; then
  exec unshare --net env QM_HOSTS_BENCH_NETNS=1 "$0" "$build"
fi
. "$root/tests/support/testlib.sh"
runs=3
driver=$build/bin/quillmarsh-hosts-bench
sign=$build/bin/quillmarsh-sign-image
for tool in "$driver" "$sign" python3 openssl ip; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
work=$(mktemp -d /tmp/qm-hosts-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up

image=quillmarsh.dmg
case "$(uname -m)" in aarch64 | arm64) image=quillmarsh.silicon.dmg ;; esac
mkdir -p "$work/www"
head -c $((4 * 1024 * 1024)) /dev/urandom > "$work/www/$image"
key=$(qm_signing_key "$work/key.pem")
"$sign" --version 1 "$work/key.pem" "$work/www/$image" >/dev/null

# One server per port: "healthy" serves the files, "trickle" the .sig as they are and the image
# at 2 bytes a second, "dropping" never lets a connection in.
cat > "$work/serve.py" <<'PY'
import http.server, os, socket, sys, time
mode, port, www = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if mode == "dropping":
    listener = socket.socket()
    listener.bind(("127.0.0.1", port))
    listener.listen(0)
    fill = []
    for _ in range(3):
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex(("127.0.0.1", port))
        fill.append(c)
    while True:
        time.sleep(3600)
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def do_GET(self):
        path = os.path.join(www, os.path.basename(self.path))
        if not os.path.isfile(path):
            self.send_error(404); return
        data = open(path, "rb").read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        try:
            if mode == "trickle" and not path.endswith(".sig"):
                for i in range(0, len(data), 2):
                    self.wfile.write(data[i:i + 2]); self.wfile.flush(); time.sleep(1)
            else:
                self.wfile.write(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY
healthy=18081 trickle=18082 dropping=18083 # a network namespace of its own: free
python3 "$work/serve.py" healthy $healthy "$work/www" & pids+=($!)
python3 "$work/serve.py" trickle $trickle "$work/www" & pids+=($!)
python3 "$work/serve.py" dropping $dropping "$work/www" & pids+=($!)
for port in $healthy $trickle; do
  qm_wait 5 python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null
done

run() { # hosts -> seconds
  local dir
  dir=$(mktemp -d "$work/private.XXXXXX")
  "$driver" "$1" "$key" "$dir" 2>/dev/null || echo fail
  rm -rf "$dir"
}
declare -A times
b=http://127.0.0.1
for i in $(seq $runs); do
  times[healthy]+="$(run "$b:$healthy") "
  times[dropping]+="$(run "$b:$dropping $b:$healthy") "
  times[trickle]+="$(run "$b:$trickle $b:$healthy") "
done
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR ? a[int((NR+1)/2)] : "fail")}'; }
h=$(median <<<"${times[healthy]}")
printf '%-38s %8s s   (%s)\n' "healthy first host" "$h" "${times[healthy]}"
for kind in dropping trickle; do
  m=$(median <<<"${times[$kind]}")
  extra=$(awk -v a="$m" -v b="$h" 'BEGIN { printf "%+.2f", a - b }')
  printf '%-38s %8s s   extra %s s   (%s)\n' "first host $kind" "$m" "$extra" "${times[$kind]}"
done
