#!/usr/bin/env bash
# Times a verified quillmarsh-fetch (the SHA-256 taken while the bytes arrive, then checked
# against a signed .sig as the installer does) against plain curl -o and against curl -o followed
# by sha256sum, on a 1 GiB file served by nginx on loopback, the first two also over TLS with HTTP/2
# from the same nginx (a certificate from a CA of its own, trusted through SSL_CERT_FILE and
# --cacert), and measures how much is fetched twice when a download is cut at 50 % and resumed, and whether the
# digest after the resume is that of the file.
# Usage: bench/download-bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR holds bin/quillmarsh-fetch, bin/quillmarsh-sign-image and bin/qm-faultproxy
#   (default: build)
#   WORK_DIR needs about 3 GiB free (default: a new folder under /tmp); removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tests/support/testlib.sh"
build=$(cd "${1:-$root/build}" && pwd)
work=${2:-$(mktemp -d /tmp/qm-download-bench.XXXXXX)}
runs=5
size=$((1024 * 1024 * 1024))
fetch=$build/bin/quillmarsh-fetch
proxy=$build/bin/qm-faultproxy
sign=$build/bin/quillmarsh-sign-image
for tool in "$fetch" "$proxy" "$sign" /usr/bin/time curl nginx python3 openssl sha256sum; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

mkdir -p "$work/www"
nginx_pid=""
proxy_pid=""
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== preparing a 1 GiB file in $work"
head -c "$size" /dev/urandom > "$work/www/big.bin"
port=$(qm_free_port)
tls_port=$(qm_free_port)
qm_ca "$work" ca 2>/dev/null
qm_cert "$work" tls ca localhost DNS:localhost,IP:127.0.0.1
log="access_log $work/access.log bytes;"
qm_nginx_conf "$work" "log_format bytes '\$status \$body_bytes_sent \$server_protocol'; sendfile on;
  server { listen 127.0.0.1:$port; root $work/www; $log }
  server { listen 127.0.0.1:$tls_port ssl http2; root $work/www; $log
           ssl_certificate $work/tls.pem; ssl_certificate_key $work/tls.key; }"
qm_nginx_start "$work"
nginx_pid=$QM_NGINX_PID
url="http://127.0.0.1:$port/big.bin"
tls_url="https://localhost:$tls_port/big.bin"

# One timed run: wall seconds on stdout; peak RSS (KiB) appended to $work/rss.<name>.
timed() {
  local name=$1; shift
  rm -f "$work"/out.*
  sync
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt"
  t1=$(date +%s.%N)
  [ "$(stat -c %s "$work"/out.*)" -eq "$size" ] || { echo "$name: wrong size" >&2; exit 1; }
  awk '/Maximum resident set size/ {print $NF}' "$work/time.txt" >> "$work/rss.$name"
  awk '/User time|System time/ {s += $NF} END {print s}' "$work/time.txt" >> "$work/cpu.$name"
  python3 -c "print($t1 - $t0)"
}

want=$(qm_sha256 "$work/www/big.bin")
public_key=$(qm_signing_key "$work/key.pem" 2>/dev/null)
"$sign" --version 1 "$work/key.pem" "$work/www/big.bin" >/dev/null

echo "== $runs runs each, alternating"
qm_times=() curl_times=() sum_times=() qm_tls_times=() curl_tls_times=()
for i in $(seq "$runs"); do
  qm_times+=("$(timed qm "$fetch" "$url" "$work/out.qm" \
                --signature "$work/www/big.bin.sig" --public-key "$public_key")")
  # The digest it reported is the file's, and the file matched its signature.
  grep -q "sha256 $want" "$work/stderr.txt" && grep -qx verified "$work/stderr.txt" \
    || { echo "quillmarsh-fetch: wrong SHA-256 or not verified" >&2; exit 1; }
  curl_times+=("$(timed curl curl -s -o "$work/out.curl" "$url")")
  sum_times+=("$(timed sum sh -c 'curl -s -o "$1" "$2" && sha256sum "$1"' sh "$work/out.sum" "$url")")
  qm_tls_times+=("$(timed qm_tls env SSL_CERT_FILE="$work/ca.pem" "$fetch" "$tls_url" "$work/out.qm" \
                    --signature "$work/www/big.bin.sig" --public-key "$public_key")")
  grep -q "sha256 $want" "$work/stderr.txt" && grep -qx verified "$work/stderr.txt" \
    || { echo "quillmarsh-fetch over TLS: wrong SHA-256 or not verified" >&2; exit 1; }
  curl_tls_times+=("$(timed curl_tls curl -s --cacert "$work/ca.pem" -o "$work/out.curl" "$tls_url")")
  printf 'run %d: quillmarsh-fetch verified %.3f s, curl -o %.3f s, curl -o + sha256sum %.3f s; TLS: quillmarsh-fetch verified %.3f s, curl -o %.3f s\n' \
    "$i" "${qm_times[-1]}" "${curl_times[-1]}" "${sum_times[-1]}" "${qm_tls_times[-1]}" "${curl_tls_times[-1]}"
done
# Both spoke HTTP/2 over TLS.
[ "$(grep -c '^200 [0-9]* HTTP/2.0$' "$work/access.log")" -eq $((2 * runs)) ] || { echo "not HTTP/2 over TLS" >&2; exit 1; }

python3 - "$work" "${qm_times[*]}" "${curl_times[*]}" "${sum_times[*]}" "${qm_tls_times[*]}" "${curl_tls_times[*]}" <<'PY'
import statistics, sys
work = sys.argv[1]
qm, cu, su, qt, ct = ([float(x) for x in arg.split()] for arg in sys.argv[2:7])
rss = lambda name: max(int(x) for x in open(f"{work}/rss.{name}").read().split())
cpu = lambda name: statistics.median(float(x) for x in open(f"{work}/cpu.{name}").read().split())
mq, mc, ms = statistics.median(qm), statistics.median(cu), statistics.median(su)
mqt, mct = statistics.median(qt), statistics.median(ct)
print("| | median wall | x curl -o (same transport) | median CPU | peak RSS |")
print("|---|---|---|---|---|")
for label, name, m, base in (("quillmarsh-fetch, verified", "qm", mq, mc), ("curl -o", "curl", mc, mc),
                             ("curl -o + sha256sum", "sum", ms, mc),
                             ("TLS + HTTP/2: quillmarsh-fetch, verified", "qm_tls", mqt, mct),
                             ("TLS + HTTP/2: curl -o", "curl_tls", mct, mct)):
    print(f"| {label} | {m:.3f} s | {m / base:.2f} | {cpu(name):.2f} s | {rss(name) / 1024:.1f} MiB |")
print(f"verified / curl -o: {mq / mc:.3f} (goal <= 1.10); verified / (curl -o + sha256sum): {mq / ms:.3f} (goal <= 0.80)")
print(f"over TLS, verified / curl -o: {mqt / mct:.3f}")
PY

echo "== cut at 50 %, then resume"
rm -f "$work"/out.* "$work/state"
"$proxy" "$port" $((size / 2)) > "$work/proxy.port" &
proxy_pid=$!
qm_wait 5 test -s "$work/proxy.port"
if "$fetch" "http://127.0.0.1:$(cat "$work/proxy.port")/big.bin" "$work/out.qm" \
     --resume-state "$work/state" 2>"$work/cut.txt"; then
  echo "the cut did not happen" >&2; exit 1
fi
cat "$work/cut.txt"
held=$(stat -c %s "$work"/out.qm.part-* 2>/dev/null || echo 0)
# Same address as before (the relay passes later connections whole): resume state is per URL.
"$fetch" "http://127.0.0.1:$(cat "$work/proxy.port")/big.bin" "$work/out.qm" \
  --resume-state "$work/state" 2>"$work/resumed.txt"
cat "$work/resumed.txt"
cmp "$work/out.qm" "$work/www/big.bin" && echo "resumed file is identical"
grep -q "sha256 $want" "$work/resumed.txt" && echo "SHA-256 after the resume is the file's"
second=$(tail -n 1 "$work/access.log" | awk '{print $2}')
echo "held after the cut: $held bytes; second request: $(tail -n 1 "$work/access.log" | awk '{print $1}') with $second bytes"
echo "bytes re-fetched: $((second - (size - held))) (goal < 1048576)"
