# Shell helpers shared by the test and benchmark scripts and by the C++ test support (sourced:
# `. tests/support/testlib.sh`). POSIX sh with `local`, as dash and bash both take it.

# qm_free_port: a TCP port on 127.0.0.1 that nothing listens on now.
qm_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# qm_wait SECONDS COMMAND...: until COMMAND succeeds, tried ten times a second; 1 when it never did.
qm_wait() {
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

_qm_key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }

# qm_ca DIR NAME: a certificate authority of the test's own, DIR/NAME.pem and DIR/NAME.key.
qm_ca() {
    _qm_key "$1/$2" && openssl req -x509 -key "$1/$2.key" -out "$1/$2.pem" -subj "/CN=QM $2" \
        -days 3 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        2>/dev/null
}

# qm_cert DIR NAME CA CN SAN [FROM TO]: DIR/NAME.pem and DIR/NAME.key for CN and the subject
# alternative names SAN (DNS:localhost,IP:127.0.0.1), signed by DIR/CA; valid two days from now,
# or from FROM to TO (YYYYMMDDHHMMSSZ), which only `openssl ca` can set.
qm_cert() {
    local d=$1 n=$2 ca=$3
    _qm_key "$d/$n" && openssl req -new -key "$d/$n.key" -out "$d/$n.csr" -subj "/CN=$4" \
        -addext "subjectAltName=$5" || return
    if [ $# -lt 7 ]; then
        openssl x509 -req -in "$d/$n.csr" -CA "$d/$ca.pem" -CAkey "$d/$ca.key" -CAcreateserial \
            -days 2 -copy_extensions copy -out "$d/$n.pem" 2>/dev/null
        return
    fi
    printf '[ca]\ndefault_ca=d\n[d]\ndatabase=%s\nnew_certs_dir=%s\nserial=%s\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n[p]\ncommonName=supplied\n' \
        "$d/$n.index" "$d" "$d/$n.serial" > "$d/$n.cnf" && : > "$d/$n.index" && echo 01 > "$d/$n.serial" &&
        openssl ca -config "$d/$n.cnf" -cert "$d/$ca.pem" -keyfile "$d/$ca.key" -in "$d/$n.csr" \
            -out "$d/$n.pem" -startdate "$6" -enddate "$7" -batch -notext 2>/dev/null
}

# qm_nginx_conf DIR HTTP...: DIR/nginx.conf for nginx in the foreground with everything it writes
# in DIR (logs, pid file, temporary files), and the HTTP text (server blocks, log formats) in its
# http block.
qm_nginx_conf() {
    local d=$1 user=""
    shift
    [ "$(id -u)" != 0 ] || user="user root;"
    mkdir -p "$d/tmp" && cat > "$d/nginx.conf" <<CONF
$user worker_processes 1; daemon off; pid $d/nginx.pid; error_log $d/error.log;
events { worker_connections 64; }
http { access_log $d/access.log; client_body_temp_path $d/tmp/body; proxy_temp_path $d/tmp/proxy;
  fastcgi_temp_path $d/tmp/fastcgi; uwsgi_temp_path $d/tmp/uwsgi; scgi_temp_path $d/tmp/scgi;
  $*
}
CONF
}

# qm_nginx_start DIR: nginx of DIR/nginx.conf in the background (its pid in QM_NGINX_PID) once it
# listens, which is when it has written its pid file.
qm_nginx_start() {
    rm -f "$1/nginx.pid"
    nginx -p "$1" -c "$1/nginx.conf" > "$1/nginx.out" 2>&1 &
    QM_NGINX_PID=$!
    qm_wait 10 test -s "$1/nginx.pid" || { cat "$1/nginx.out" "$1/error.log" >&2; return 1; }
}

# qm_signing_key PEM: an Ed25519 image signing key in PEM (made when missing); prints the base64
# of its raw public key, as the build takes it.
qm_signing_key() {
    [ -f "$1" ] || (umask 077 && openssl genpkey -algorithm ed25519 -out "$1") || return
    openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | base64 -w0
}

# qm_sha256 FILE: the file's SHA-256 in hex.
qm_sha256() { sha256sum "$1" | cut -d' ' -f1; }
