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

# shellcheck source-path=SCRIPTDIR source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build=$(cd "$build" 2>/dev/null && pwd) || { echo "demo: no build directory at ${BUILD_DIR:-$root/build}" >&2; exit 1; }
run="$root/demo-run"
relays=(a b c)
declare -A pid=()
fail_who=demo

show_logs() {
  local r
  for r in "${relays[@]}"; do show_log "relay $r log" "$run/relay-$r.log"; done
}
cleanup() { stop_pids "${pid[@]}"; }
install_traps

need_build

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

step "relay A: listens on $a_port, pushes to B (dial mode)"
make_relay "$run/relay-a" "$run/root-a" "[Connection]
Host=
Port=$a_port
ClosurePort=$a_closure
PeerCN=sender
RequireClientCert=1
ThrottlingEnabled=0
[Forward]
Host=127.0.0.1
Port=$b_port
PeerCN=relay-b" \
  cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem \
  clientcert.pem=sender.cert.pem forwardcert.pem=relay-b.cert.pem

step "relay B: listens on $b_port, offers to C on $b_fwd (listen mode)"
make_relay "$run/relay-b" "$run/root-b" "[Connection]
Host=
Port=$b_port
ClosurePort=$b_closure
PeerCN=relay-a
RequireClientCert=1
ThrottlingEnabled=0
[Forward]
Host=
Port=$b_fwd
PeerCN=relay-c" \
  cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem \
  clientcert.pem=relay-a.cert.pem forwardcert.pem=relay-c.cert.pem

step "relay C: dials B on $b_fwd, stores only"
make_relay "$run/relay-c" "$run/root-c" "[Connection]
Host=127.0.0.1
Port=$b_fwd
ClosurePort=$b_closure
PeerCN=relay-b
DelayBeforeRetry=250
ThrottlingEnabled=0" \
  cert.pem=relay-c.cert.pem key.pem=relay-c.key.pem servercert.pem=relay-b.cert.pem

start_relay() {
  "$run/relay-$1/tarnwick" 2>"$run/relay-$1.log" &
  pid[$1]=$!
  wait_running "$run/relay-$1.log" "${pid[$1]}" "relay $1"
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
  stop_relay_pid "pid[$r]" "relay $r"
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
