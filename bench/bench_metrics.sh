#!/usr/bin/env bash
# Metrics: what scraping, and hostile clients on the metrics port, cost a
# sender. One relay in the listen role, throttle off, [Metrics] Listen on
# loopback. RUNS sends of MIB MiB alternate between a quiet endpoint and a
# storm on it: SCRAPERS clients scraping back to back, SLOW connections
# that trickle a request and never finish it, and a client sending 1 MiB
# requests of garbage in a loop. Prints the median send time of each, their
# ratio, how many scrapes were served during the storms, and the relay's
# peak memory (VmHWM) and thread count. Every save is compared with its
# input; a failed send or a relay that dies fails the benchmark.
#
# Environment:
#   RUNS=5         sends of each kind, alternated
#   MIB=256        size of each send
#   SCRAPERS=4     clients scraping back to back during a storm
#   SLOW=64        trickling connections during a storm
#   BENCH_DIR=     work directory (default bench-run/metrics/ in the repo; wiped)
#   BUILD_DIR=     build directory (default build/ in the repo)
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
runs=${RUNS:-5}
size_mib=${MIB:-256}
scrapers=${SCRAPERS:-4}
slow_n=${SLOW:-64}
work=${BENCH_DIR:-$root/bench-run/metrics}
need_positive runs size_mib scrapers slow_n

relay_pid=""
storm_pid=""
ok=0
fail_who=bench
show_logs() { show_log "relay log" "$work/relay/relay.log" 40; }
cleanup() {
  stop_pids "$storm_pid" "$relay_pid"
  if [ "$ok" -eq 1 ]; then rm -rf "$work"; fi
}
install_traps
need_build
command -v python3 >/dev/null || fail "python3 not found: it plays the scrapers and the attackers"
fresh_work $((size_mib * 3 + 64))

step "certificates, a ${size_mib} MiB input, a relay with its metrics on loopback"
certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" relay sender >/dev/null || fail "make-certs.sh failed"
head -c "$((size_mib << 20))" /dev/urandom >"$work/input.bin"
mapfile -t ports < <(free_ports 3)
[ "${#ports[@]}" -eq 3 ] || fail "no free loopback ports"
make_relay "$work/relay" "$work/relay/root" "[Connection]
Port=${ports[0]}
ClosurePort=${ports[1]}
PeerCN=sender
ThrottlingEnabled=0
[Metrics]
Listen=127.0.0.1:${ports[2]}" cert.pem=relay.cert.pem key.pem=relay.key.pem clientcert.pem=sender.cert.pem
"$work/relay/tarnwick" 2>"$work/relay/relay.log" &
relay_pid=$!
wait_running "$work/relay/relay.log" "$relay_pid" "the relay"

cat >"$work/storm.py" <<'EOF'
import os, signal, socket, sys, threading, time
port, scrapers, slow_n = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
served = [0]
def request(data):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(data)
            got = b""
            while chunk := s.recv(65536):
                got += chunk
            return got
    except OSError:
        return b""
def scrape():
    while not stop.is_set():
        if request(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").startswith(b"HTTP/1.1 200"):
            served[0] += 1
def garbage():
    while not stop.is_set():
        request(os.urandom(1 << 20))
def trickle():
    while not stop.is_set():
        held = []
        for _ in range(slow_n):
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=10)
                s.sendall(b"GET /met")
                held.append(s)
            except OSError:
                pass
        stop.wait(1)
        for s in held:
            s.close()
threads = [threading.Thread(target=f) for f in [scrape] * scrapers + [garbage, trickle]]
for t in threads:
    t.start()
stop.wait()
for t in threads:
    t.join()
print(served[0])
EOF

# one_send <kind> <n>: the seconds one send took; the save is checked.
one_send() {
  local t0 elapsed save="$work/relay/root/saves/$1$2"
  t0=$EPOCHREALTIME
  "$build/tarnwick-send" --quiet --host 127.0.0.1 --port "${ports[0]}" --repo "$1$2" --wait 60 \
    --ca "$certs/relay.cert.pem" --peer-name relay --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" \
    "$work/input.bin" 2>>"$work/send.err" || fail "a $1 send failed: $(tail -n 1 "$work/send.err")"
  elapsed=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
  cmp -s "$work/input.bin" "$save"/* || fail "the $1 save $2 differs from its input"
  rm -rf "$save"
  echo "$elapsed"
}

step "$runs sends of each kind, alternated: quiet endpoint, storm on it"
quiet=() storm=() scrapes=0 threads=0
for ((i = 1; i <= runs; i++)); do
  quiet+=("$(one_send quiet "$i")")
  python3 "$work/storm.py" "${ports[2]}" "$scrapers" "$slow_n" >"$work/storm.out" &
  storm_pid=$!
  sleep 1
  storm+=("$(one_send storm "$i")")
  t=$(status_kib "$relay_pid" Threads)
  [ "$t" -gt "$threads" ] && threads=$t
  kill -TERM "$storm_pid"
  wait "$storm_pid" || fail "the storm failed"
  storm_pid=""
  scrapes=$((scrapes + $(cat "$work/storm.out")))
  kill -0 "$relay_pid" 2>/dev/null || fail "the relay died"
done
q=$(median 3 "${quiet[@]}")
s=$(median 3 "${storm[@]}")
printf '%-34s %s s (%s MiB/s)\n' "send, quiet endpoint (median)" "$q" "$(rate "$size_mib" "$q")"
printf '%-34s %s s (%s MiB/s)\n' "send, storm on it (median)" "$s" "$(rate "$size_mib" "$s")"
printf '%-34s %s\n' "storm / quiet" "$(awk -v a="$s" -v b="$q" 'BEGIN { printf "%.2f", a / b }')"
printf '%-34s %s\n' "scrapes served during the storms" "$scrapes"
printf '%-34s %s MiB, %s threads at most\n' "relay peak memory" "$(mib "$(status_kib "$relay_pid" VmHWM)")" "$threads"
stop_relay_pid relay_pid "the relay"
ok=1
