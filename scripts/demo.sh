#!/usr/bin/env bash
# End-to-end demo: start one relay on loopback, send it a 5 MiB file with
# tarnwick-send, show what it stored, check the bytes, stop it.
#
# Needs a finished build (build/tarnwick, build/tarnwick-send; BUILD_DIR=
# overrides). Everything it makes lives in demo-run/, wiped at the start.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "demo: no build directory at ${BUILD_DIR:-$root/build}" >&2; exit 1; }
run="$root/demo-run"
relay_pid=""

step() { printf '==> %s\n' "$*"; }
fail() {
  printf 'demo FAILED: %s\n' "$*" >&2
  if [ -s "$run/relay.log" ]; then
    echo "---- relay log ----" >&2
    cat "$run/relay.log" >&2
  fi
  exit 1
}

cleanup() {
  if [ -n "$relay_pid" ] && kill -0 "$relay_pid" 2>/dev/null; then
    kill -TERM "$relay_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A loopback port nobody listens on right now.
free_port() {
  if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()' && return
  fi
  local p
  for ((p = 20000; p < 30000; p++)); do
    if [ -z "$(ss -Htan "( sport = :$p or dport = :$p )" 2>/dev/null)" ]; then
      echo "$p"
      return
    fi
  done
  return 1
}

for bin in tarnwick tarnwick-send; do
  [ -x "$build/$bin" ] || fail "$build/$bin is missing: run 'cmake --build build' first"
done

step "fresh work directory $run"
rm -rf "$run"
mkdir -p "$run/certs" "$run/relay-a" "$run/root"

step "certificates for relay-a and sender"
"$root/scripts/make-certs.sh" "$run/certs" relay-a sender || fail "make-certs.sh failed"
certs="$run/certs"

port=$(free_port) || fail "no free loopback port"
step "relay directory $run/relay-a (port $port)"
# The relay reads its settings and PEM files next to its own executable.
ln "$build/tarnwick" "$run/relay-a/tarnwick" 2>/dev/null || cp "$build/tarnwick" "$run/relay-a/tarnwick"
cp "$certs/relay-a.cert.pem" "$run/relay-a/cert.pem"
cp "$certs/relay-a.key.pem" "$run/relay-a/key.pem"
cp "$certs/sender.cert.pem" "$run/relay-a/clientcert.pem"
cat >"$run/relay-a/settings.ini" <<EOF
[Backup]
Dir=$run/root
[Connection]
Host=
Port=$port
PeerCN=sender
ThrottlingEnabled=0
EOF

step "starting the relay (log: $run/relay.log)"
"$run/relay-a/tarnwick" 2>"$run/relay.log" &
relay_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -q '^Tarnwick state: RUNNING' "$run/relay.log" && break
  kill -0 "$relay_pid" 2>/dev/null || fail "relay exited before reaching RUNNING"
  sleep 0.1
done
grep -q '^Tarnwick state: RUNNING' "$run/relay.log" || fail "relay not RUNNING after 10 s"
echo "    relay pid $relay_pid is RUNNING"

step "making a 5 MiB random file"
head -c $((5 * 1024 * 1024)) /dev/urandom >"$run/payload.bin"

step "sending it with tarnwick-send"
send_rc=0
"$build/tarnwick-send" --host 127.0.0.1 --port "$port" --repo demo \
  --ca "$certs/relay-a.cert.pem" --peer-name relay-a \
  --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" \
  "$run/payload.bin" || send_rc=$?
[ "$send_rc" -eq 0 ] || fail "tarnwick-send exited with $send_rc (0 means the relay confirmed)"
echo "    relay confirmed the save"

step "stored save"
[ -d "$run/root/saves" ] || fail "nothing stored under $run/root/saves"
find "$run/root/saves" -type f -exec ls -l {} +
mapfile -t saves < <(find "$run/root/saves/demo" -type f ! -name '*_pending' 2>/dev/null)
[ "${#saves[@]}" -eq 1 ] || fail "expected one save under saves/demo, found ${#saves[@]}"
[[ "$(basename "${saves[0]}")" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] ||
  fail "save name $(basename "${saves[0]}") is not a YYYY-MM-DD date"
if find "$run/root/saves" -name '*_pending' | grep -q .; then
  fail "a _pending marker was left behind"
fi

step "comparing bytes"
cmp "$run/payload.bin" "${saves[0]}" || fail "stored bytes differ from the payload"
echo "    identical ($(stat -c %s "${saves[0]}") bytes)"

step "stopping the relay (SIGTERM)"
kill -TERM "$relay_pid"
stop_rc=""
for ((i = 0; i < 100; i++)); do
  if ! kill -0 "$relay_pid" 2>/dev/null; then
    stop_rc=0
    wait "$relay_pid" || stop_rc=$?
    break
  fi
  sleep 0.1
done
[ -n "$stop_rc" ] || fail "relay still running 10 s after SIGTERM"
relay_pid=""
[ "$stop_rc" -eq 0 ] || fail "relay exited with status $stop_rc after SIGTERM"
grep -q '^Tarnwick state: STOPPED' "$run/relay.log" || fail "relay log has no STOPPED line"

step "relay log"
cat "$run/relay.log"

step "demo OK"
