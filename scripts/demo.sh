#!/usr/bin/env bash
# End-to-end demo of a relay chain on loopback:
#
#   tarnwick-send -> relay A -> relay B -> relay C
#
# A pushes to B (A's forward side dials B's listening port). B hands on in
# listen mode: C runs in the dial role and fetches from B's forward port.
# C does not forward. A 5 MiB file goes in at A; the demo waits for C to hold
# the complete save, shows every relay's saves tree, checks the bytes, and
# stops the three relays.
#
# Needs a finished build (build/tarnwick, build/tarnwick-send; BUILD_DIR=
# overrides). Everything it makes lives in demo-run/, wiped at the start.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "demo: no build directory at ${BUILD_DIR:-$root/build}" >&2; exit 1; }
run="$root/demo-run"
relays=(a b c)
declare -A pid=()

step() { printf '==> %s\n' "$*"; }
fail() {
  printf 'demo FAILED: %s\n' "$*" >&2
  local r
  for r in "${relays[@]}"; do
    if [ -s "$run/relay-$r.log" ]; then
      echo "---- relay $r log ----" >&2
      cat "$run/relay-$r.log" >&2
    fi
  done
  exit 1
}

cleanup() {
  local r p
  for r in "${!pid[@]}"; do
    p=${pid[$r]}
    [ -n "$p" ] || continue
    kill -TERM "$p" 2>/dev/null || true
  done
  for r in "${!pid[@]}"; do
    p=${pid[$r]}
    [ -n "$p" ] || continue
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# N distinct loopback ports nobody listens on right now. They are all bound at
# once so that one call never hands out the same port twice.
free_ports() {
  local n=$1
  if command -v python3 >/dev/null 2>&1; then
    python3 - "$n" <<'EOF' && return
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
for s in socks:
    print(s.getsockname()[1])
EOF
  fi
  local p found=0
  for ((p = 20000; p < 30000 && found < n; p++)); do
    if [ -z "$(ss -Htan "( sport = :$p or dport = :$p )" 2>/dev/null)" ]; then
      echo "$p"
      found=$((found + 1))
    fi
  done
  [ "$found" -eq "$n" ]
}

for bin in tarnwick tarnwick-send; do
  [ -x "$build/$bin" ] || fail "$build/$bin is missing: run 'cmake --build build' first"
done

step "fresh work directory $run"
rm -rf "$run"
mkdir -p "$run/certs"

step "certificates for relay-a, relay-b, relay-c and sender"
"$root/scripts/make-certs.sh" "$run/certs" relay-a relay-b relay-c sender || fail "make-certs.sh failed"
certs="$run/certs"

mapfile -t ports < <(free_ports 5)
[ "${#ports[@]}" -eq 5 ] || fail "no free loopback ports"
a_port=${ports[0]}    # A listens for the sender
a_closure=${ports[1]} # A's closure listener (it listens and forwards)
b_port=${ports[2]}    # B listens for A
b_closure=${ports[3]} # B's closure listener, dialled by C at its stop
b_fwd=${ports[4]}     # B's forward port, dialled by C

# make_relay <name> <settings text> <pem>=<source>...
# The relay reads settings.ini and its start-up PEM files next to its own
# executable; contexts built later (forward listener, closure listener) read
# theirs from the backup root, so the PEMs go into both.
make_relay() {
  local settings=$2 dir="$run/relay-$1" rootdir="$run/root-$1" spec
  shift 2
  mkdir -p "$dir" "$rootdir"
  ln "$build/tarnwick" "$dir/tarnwick" 2>/dev/null || cp "$build/tarnwick" "$dir/tarnwick"
  for spec in "$@"; do
    cp "$certs/${spec#*=}" "$dir/${spec%%=*}"
    cp "$certs/${spec#*=}" "$rootdir/${spec%%=*}"
  done
  printf '[Backup]\nDir=%s\n%s\n' "$rootdir" "$settings" >"$dir/settings.ini"
}

step "relay A: listens on $a_port, pushes to B (dial mode)"
make_relay a "[Connection]
Host=
Port=$a_port
ClosurePort=$a_closure
PeerCN=sender
ThrottlingEnabled=0
[Forward]
Host=127.0.0.1
Port=$b_port
PeerCN=relay-b" \
  cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem \
  clientcert.pem=sender.cert.pem forwardcert.pem=relay-b.cert.pem

step "relay B: listens on $b_port, offers to C on $b_fwd (listen mode)"
make_relay b "[Connection]
Host=
Port=$b_port
ClosurePort=$b_closure
PeerCN=relay-a
ThrottlingEnabled=0
[Forward]
Host=
Port=$b_fwd
PeerCN=relay-c" \
  cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem \
  clientcert.pem=relay-a.cert.pem forwardcert.pem=relay-c.cert.pem

step "relay C: dials B on $b_fwd, stores only"
make_relay c "[Connection]
Host=127.0.0.1
Port=$b_fwd
ClosurePort=$b_closure
PeerCN=relay-b
DelayBeforeRetry=250
ThrottlingEnabled=0" \
  cert.pem=relay-c.cert.pem key.pem=relay-c.key.pem servercert.pem=relay-b.cert.pem

start_relay() {
  local r=$1 log="$run/relay-$1.log" i
  "$run/relay-$r/tarnwick" 2>"$log" &
  pid[$r]=$!
  for ((i = 0; i < 100; i++)); do
    grep -q '^Tarnwick state: RUNNING' "$log" && break
    kill -0 "${pid[$r]}" 2>/dev/null || fail "relay $r exited before reaching RUNNING"
    sleep 0.1
  done
  grep -q '^Tarnwick state: RUNNING' "$log" || fail "relay $r not RUNNING after 10 s"
}

step "starting C, B, A (logs: $run/relay-*.log)"
for r in c b a; do start_relay "$r"; done
echo "    pids: A ${pid[a]}, B ${pid[b]}, C ${pid[c]}, all RUNNING"

step "making a 5 MiB random file"
head -c $((5 * 1024 * 1024)) /dev/urandom >"$run/payload.bin"
size=$(stat -c %s "$run/payload.bin")

step "sending it to A with tarnwick-send"
send_rc=0
"$build/tarnwick-send" --host 127.0.0.1 --port "$a_port" --repo demo \
  --ca "$certs/relay-a.cert.pem" --peer-name relay-a \
  --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" \
  "$run/payload.bin" || send_rc=$?
[ "$send_rc" -eq 0 ] || fail "tarnwick-send exited with $send_rc (0 means A confirmed)"
echo "    A confirmed the save"

# A names the save by its local date; the name travels down the chain.
mapfile -t a_saves < <(find "$run/root-a/saves/demo" -type f 2>/dev/null)
[ "${#a_saves[@]}" -eq 1 ] || fail "expected one file under A's saves/demo, found ${#a_saves[@]}"
save=$(basename "${a_saves[0]}")
[[ "$save" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] || fail "A's save name $save is not a YYYY-MM-DD date"

step "waiting for C to hold demo/$save complete (up to 30 s)"
c_save="$run/root-c/saves/demo/$save"
t0=$EPOCHREALTIME
deadline=$((SECONDS + 30))
done_at=""
while ((SECONDS < deadline)); do
  for r in a b c; do kill -0 "${pid[$r]}" 2>/dev/null || fail "relay $r died"; done
  if [ -f "$c_save" ] && [ ! -e "${c_save}_pending" ] && [ "$(stat -c %s "$c_save")" -eq "$size" ]; then
    done_at=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
    break
  fi
  sleep 0.1
done
[ -n "$done_at" ] || fail "C does not hold a complete demo/$save after 30 s"
echo "    complete at C ${done_at} s after A confirmed"

step "saves trees"
for r in a b c; do
  echo "    relay $r:"
  (cd "$run/root-$r" && find saves -printf '      %M %10s  %p\n' | sort -k3)
done
for r in a b c; do
  if find "$run/root-$r/saves" -name '*_pending' | grep -q .; then
    fail "relay $r left a _pending marker"
  fi
  n=$(find "$run/root-$r/saves" -type f | wc -l)
  [ "$n" -eq 1 ] || fail "relay $r holds $n files under saves/, expected 1"
done

step "comparing bytes at every relay"
for r in a b c; do
  cmp "$run/payload.bin" "$run/root-$r/saves/demo/$save" || fail "relay $r's copy differs from the payload"
done
echo "    identical at A, B and C ($size bytes)"

# A save sent whole has its progress file removed at once.
for r in a b; do
  if find "$run/root-$r/forwards" -type f 2>/dev/null | grep -q .; then
    fail "relay $r still has a progress file: $(find "$run/root-$r/forwards" -type f)"
  fi
done

# C first, so that its stop finds B's closure listener up.
step "stopping C, B, A (SIGTERM)"
for r in c b a; do
  kill -TERM "${pid[$r]}"
  stop_rc=""
  for ((i = 0; i < 100; i++)); do
    if ! kill -0 "${pid[$r]}" 2>/dev/null; then
      stop_rc=0
      wait "${pid[$r]}" || stop_rc=$?
      break
    fi
    sleep 0.1
  done
  [ -n "$stop_rc" ] || fail "relay $r still running 10 s after SIGTERM"
  unset "pid[$r]"
  [ "$stop_rc" -eq 0 ] || fail "relay $r exited with status $stop_rc after SIGTERM"
  grep -q '^Tarnwick state: STOPPED' "$run/relay-$r.log" || fail "relay $r log has no STOPPED line"
done
echo "    all three exited 0"

# Nothing was left unfinished, so no relay queued a transmission for later.
for r in a b; do
  [ ! -s "$run/root-$r/toforward" ] || fail "relay $r queued unfinished work: $(cat "$run/root-$r/toforward")"
done

for r in a b c; do
  step "relay ${r^^} log"
  cat "$run/relay-$r.log"
done

step "demo OK"
