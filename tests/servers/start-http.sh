#!/usr/bin/env bash
# Test-environment hook: a test CA and certificates made for this run, and the scriptable
# HTTP/HTTPS server (test_server.py) on 127.0.0.1. Prints the exports the tests read:
#   RORA_HTTP_PORT               plain HTTP
#   RORA_HTTPS_PORT              HTTPS, certificate for "localhost" issued by the test CA
#   RORA_HTTPS_WRONG_HOST_PORT   HTTPS, certificate for "wrong-host.invalid" from the test CA
#   RORA_HTTPS_UNKNOWN_CA_PORT   HTTPS, certificate for "localhost" from a CA nobody trusts
#   RORA_TEST_CA                 the test CA (PEM, Linux path)
#   RORA_HTTP_LOG                one JSON line per request received (Linux path)
set -euo pipefail
: "${RORA_TEST_ENV:?RORA_TEST_ENV names the test environment}"
here=$(cd "$(dirname "$0")" && pwd)
certs="$RORA_TEST_ENV/certs"
mkdir -p "$certs" "$RORA_TEST_ENV/pids"
cd "$certs"

make_ca() { # name, common name
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
make_cert() { # name, issuing CA, DNS name
    openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$3" 2>/dev/null
    printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 30 -sha256 \
        -extfile "$1.ext" -out "$1.crt" 2>/dev/null
    cat "$1.crt" "$2.pem" >"$1.chain.pem"
}
make_ca ca "Rora Test CA"
make_ca other-ca "Unknown Test CA"
make_cert localhost ca localhost
make_cert wrong-host ca wrong-host.invalid
make_cert unknown other-ca localhost

ports="$RORA_TEST_ENV/http-ports.json"
log="$RORA_TEST_ENV/http-requests.log"
rm -f "$ports"
setsid python3 "$here/test_server.py" --log "$log" --ports "$ports" \
    --tls https localhost.chain.pem localhost.key \
    --tls https_wrong_host wrong-host.chain.pem wrong-host.key \
    --tls https_unknown_ca unknown.chain.pem unknown.key \
    </dev/null >>"$RORA_TEST_ENV/http-server.log" 2>&1 &
echo $! >"$RORA_TEST_ENV/pids/http-server"

for _ in $(seq 100); do
    [ -f "$ports" ] && break
    sleep 0.1
done
[ -f "$ports" ] || { echo "test_server.py did not start" >&2; cat "$RORA_TEST_ENV/http-server.log" >&2; exit 1; }

port_of() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$ports" "$1"; }
echo "export RORA_HTTP_PORT=$(port_of http)"
echo "export RORA_HTTPS_PORT=$(port_of https)"
echo "export RORA_HTTPS_WRONG_HOST_PORT=$(port_of https_wrong_host)"
echo "export RORA_HTTPS_UNKNOWN_CA_PORT=$(port_of https_unknown_ca)"
echo "export RORA_TEST_CA='$certs/ca.pem'"
echo "export RORA_HTTP_LOG='$log'"
