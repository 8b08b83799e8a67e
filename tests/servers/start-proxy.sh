#!/usr/bin/env bash
# Test-environment hook: two real proxies (tinyproxy) on 127.0.0.1, one open and one that
# demands Basic authentication, and a port where nothing listens. Prints the exports:
#   RORA_PROXY_PORT, RORA_AUTH_PROXY_PORT, RORA_PROXY_USER, RORA_PROXY_PASSWORD, RORA_DEAD_PORT
set -euo pipefail
: "${RORA_TEST_ENV:?RORA_TEST_ENV names the test environment}"
dir="$RORA_TEST_ENV/proxy"
mkdir -p "$dir" "$RORA_TEST_ENV/pids"
user=rora-proxy-user
password=rora-proxy-secret

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# name, extra configuration. Prints the port. tinyproxy cannot take port 0, so a port that
# was taken in the meantime means another try on another port.
start_proxy() {
    local name=$1 extra=$2 port pid
    for _ in 1 2 3 4 5; do
        port=$(free_port)
        rm -f "$dir/$name.log"
        cat >"$dir/$name.conf" <<CONF
Port $port
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 120
MaxClients 50
LogLevel Info
LogFile "$dir/$name.log"
$extra
CONF
        setsid tinyproxy -d -c "$dir/$name.conf" </dev/null >>"$dir/$name.out" 2>&1 &
        pid=$!
        for _ in $(seq 50); do
            if grep -qs "Starting main loop" "$dir/$name.log"; then
                echo "$pid" >"$RORA_TEST_ENV/pids/tinyproxy-$name"
                echo "$port"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
    done
    echo "tinyproxy ($name) did not start" >&2
    cat "$dir/$name.out" >&2
    return 1
}

open_port=$(start_proxy open "")
auth_port=$(start_proxy auth "BasicAuth $user $password")

echo "export RORA_PROXY_PORT=$open_port"
echo "export RORA_AUTH_PROXY_PORT=$auth_port"
echo "export RORA_PROXY_USER=$user"
echo "export RORA_PROXY_PASSWORD=$password"
echo "export RORA_DEAD_PORT=$(free_port)"
