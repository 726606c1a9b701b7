#!/usr/bin/env bash
# The throughput and memory figures in one table, each against its target,
# measured on this machine in this run. Tarnwick and its baseline alternate,
# RUNS times each; a figure is the median of the per-run ratios.
#
#   hop    tarnwick-send -> relay -> disk (synced before the confirmation),
#          SIZE_MIB, against a socat TLS pipe of the same file (no sync):
#          target >= 1.2x.
#   fwd    the forward hop alone: a SIZE_MIB save and its forwarding record
#          written into relay A's backup root before A starts; from A's start
#          until B holds the save complete (no _pending marker), against the
#          same socat pipe: target >= 1.0x.
#   chain  CHAIN_SAVES saves of CHAIN_MIB sent back to back, origin -> A -> B;
#          all the bytes over the time until the last is complete at B,
#          against the same files sent back to back through two socat hops
#          (socat -> middle socat -> listening socat -> file; the listeners
#          are up before the clock starts, as the relays are): target >= 0.9x.
#   par    PARALLEL senders of PARALLEL_MIB at once, aggregate rate, against
#          one sender of all their bytes in one file: target >= 0.9x.
#   memory peak resident size (VmHWM) of every relay that carried one stream
#          at a time (the largest is shown): < 16 MiB; of the relay of the
#          concurrent senders: < 64 MiB.
#   thr    a relay limited to THROTTLE_KIB KiB/s receives a stream for
#          THROTTLE_SECS from a python3 TLS client that writes as fast as it
#          may and timestamps its cumulative bytes; the worst deviation from
#          the limit over every THROTTLE_WINDOW s window after the first
#          THROTTLE_SKIP s (the socket buffers fill then): within +-2 %.
#
# socat runs with -b 65536 and TLS 1.3 only, with the relays' certificates.
# Every stored copy is compared with its input; a wrong or missing copy, a
# failing sender or a relay that dies fails the benchmark, while a target
# that is missed is only reported as MISSED.
#
# Environment (smaller values make a quick smoke run):
#   SIZE_MIB=512      one hop and forward hop
#   RUNS=3            runs per tool, alternated
#   CHAIN_SAVES=8     CHAIN_MIB=64
#   PARALLEL=50       PARALLEL_MIB=8
#   THROTTLE_KIB=1024 THROTTLE_SECS=30 THROTTLE_SKIP=8 THROTTLE_WINDOW=10
#   PARTS="hop fwd chain par thr"   the parts to run
#   BENCH_DIR=        work directory (default bench-run/table/ in the repo; wiped)
#   BUILD_DIR=        build directory (default build/ in the repo)
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
size_mib=${SIZE_MIB:-512}
runs=${RUNS:-3}
chain_n=${CHAIN_SAVES:-8}
chain_mib=${CHAIN_MIB:-64}
par_n=${PARALLEL:-50}
par_mib=${PARALLEL_MIB:-8}
thr_kib=${THROTTLE_KIB:-1024}
thr_secs=${THROTTLE_SECS:-30}
thr_skip=${THROTTLE_SKIP:-8}
thr_window=${THROTTLE_WINDOW:-10}
parts=" ${PARTS:-hop fwd chain par thr} "
work=${BENCH_DIR:-$root/bench-run/table}

need_positive size_mib runs chain_n chain_mib par_n par_mib thr_kib thr_secs thr_skip thr_window
if ((thr_skip + thr_window > thr_secs)); then
  echo "bench: THROTTLE_SECS must be at least THROTTLE_SKIP + THROTTLE_WINDOW" >&2
  exit 2
fi
has() { [[ $parts == *" $1 "* ]]; }

declare -A relay_pid=()
bg_pids=()
ok=0
fail_who=bench

show_logs() { show_relay_logs "$work"; }

cleanup() {
  stop_pids "${bg_pids[@]}" "${relay_pid[@]}"
  # The data files are large; logs are kept only when something went wrong.
  if [ -d "$work" ]; then
    rm -rf "$work"/in "$work"/out "$work"/relay-*/root/saves
    if [ "$ok" -eq 1 ]; then
      rm -rf "$work"
      [ -n "${BENCH_DIR:-}" ] || rmdir "$root/bench-run" 2>/dev/null || true
    fi
  fi
}
install_traps
shopt -s nullglob
need_build
bench_tools
command -v python3 >/dev/null || fail "python3 not found: it plays the throttled sender"
command -v timeout >/dev/null || fail "timeout (coreutils) not found"

secs_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a - b }'; }
# One transfer may take at most this long: 1 MiB/s and a minute to spare.
limit_for() { echo $((60 + $1)); }

# ---- relays ---------------------------------------------------------------------

# start_relay <name> <settings text> <pem>=<source>...: the relay lives in
# relay-<name>/ with its backup root in relay-<name>/root, which the caller
# may have filled beforehand. Sets started_at; does not wait for RUNNING when
# NO_WAIT is set (the clock is then already running).
start_relay() {
  local r=$1 dir="$work/relay-$1"
  make_relay "$dir" "$dir/root" "${@:2}"
  : >"$dir/relay.log"
  started_at=$EPOCHREALTIME
  "$dir/tarnwick" 2>"$dir/relay.log" &
  relay_pid[$r]=$!
  [ -n "${NO_WAIT:-}" ] || wait_running "$dir/relay.log" "${relay_pid[$r]}" "relay $r"
}

alive() {
  local r
  for r in "$@"; do kill -0 "${relay_pid[$r]}" 2>/dev/null || fail "relay $r died"; done
}

# stop_relay <name>: records its peak memory in hwm[name], then SIGTERM and a
# clean exit.
declare -A hwm=()
stop_relay() {
  alive "$1"
  hwm[$1]=$(status_kib "${relay_pid[$1]}" VmHWM)
  stop_relay_pid "relay_pid[$1]" "relay $1"
}

cpu_of() { proc_cpu "${relay_pid[$1]}" || fail "relay $1 died"; }

# Settings of a relay that takes streams from the sender, and of one that
# also forwards to B (dial mode); B takes streams from relay-a.
listen_settings() {
  printf '[Connection]\nHost=\nPort=%s\nClosurePort=%s\nPeerCN=sender\n%s' "$1" "$2" "${3:-ThrottlingEnabled=0}"
}
sender_pems=(cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem clientcert.pem=sender.cert.pem)
forward_settings() {
  printf '%s\n[Forward]\nHost=127.0.0.1\nPort=%s\nPeerCN=relay-b' "$(listen_settings "$1" "$2")" "$3"
}
forward_pems=("${sender_pems[@]}" forwardcert.pem=relay-b.cert.pem)
start_b() {
  start_relay "$1" "[Connection]
Host=
Port=$2
PeerCN=relay-a
ThrottlingEnabled=0" cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem clientcert.pem=relay-a.cert.pem
}

# send <port> <repo> <file> <stderr file>: one tarnwick-send with the sender's
# certificate; it exits 0 only once the relay confirmed the stored stream.
send() {
  local mib
  mib=$(($(stat -c %s "$3") / 1048576))
  timeout -k 5 "$(limit_for "$mib")" "$build/tarnwick-send" --quiet --host 127.0.0.1 --port "$1" \
    --repo "$2" --wait 300 --ca "$certs/relay-a.cert.pem" --peer-name relay-a \
    --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" "$3" 2>>"$4"
}

# complete_in <dir> <count> <bytes each>: true once dir holds exactly count
# saves of that size and no pending marker. Globs and builtins first, so
# that polling twenty times a second costs the relays nothing.
complete_in() {
  local f n=0
  for f in "$1"/*; do
    [[ $f == *_pending ]] && return 1
    n=$((n + 1))
  done
  [ "$n" -eq "$2" ] || return 1
  for f in "$1"/*; do [ "$(stat -c %s "$f")" -eq "$3" ] || return 1; done
}

# wait_complete <dir> <count> <bytes each> <seconds> <relay>...: polls every 50 ms.
wait_complete() {
  local deadline=$((SECONDS + $4))
  until complete_in "$1" "$2" "$3"; do
    ((SECONDS < deadline)) || fail "$1 does not hold $2 complete saves of $3 bytes after $4 s: $(find "$1" -maxdepth 1 -type f -printf '%f %s\n' 2>&1 | head -n 5)"
    alive "${@:5}"
    sleep 0.05
  done
}

# same_multiset <dir> <sums file>: the saves in dir hold the inputs' bytes
# (as a multiset: names go by arrival).
same_multiset() {
  local got
  got=$(cd "$1" && find . -type f -exec sha256sum {} + | cut -d' ' -f1 | sort)
  [ "$got" = "$(cat "$2")" ] || fail "the saves in $1 differ from their inputs"
}

# ---- socat ----------------------------------------------------------------------

tls13=openssl-min-proto-version=TLS1.3

# socat_bg <pid var> <name> <socat args>...: under timeout and /usr/bin/time.
socat_bg() {
  local var=$1 name=$2
  shift 2
  timeout -k 5 "$socat_limit" "${timer[@]}" ${timer:+-o "$work/$name.time"} socat "$@" 2>"$work/$name.err" &
  printf -v "$var" '%s' "$!"
  bg_pids+=("${!var}")
}

# socat_pipe <hops> <input> <out>: the listeners are started and up first;
# sets last_secs from the sending socat's start to the listening socat's
# exit, i.e. the file written on the last machine.
socat_pipe() {
  local hops=$1 input=$2 out=$3 ports lpid mpid="" cpid t0 rc
  mapfile -t ports < <(free_ports 2)
  [ "${#ports[@]}" -eq 2 ] || fail "no free loopback ports"
  socat_limit=$(limit_for $(($(stat -c %s "$input") / 1048576)))
  if [ "$hops" -eq 1 ]; then
    socat_bg lpid listen -d -d -u -b 65536 \
      "OPENSSL-LISTEN:${ports[0]},bind=127.0.0.1,reuseaddr,cert=$certs/relay-a.cert.pem,key=$certs/relay-a.key.pem,cafile=$certs/sender.cert.pem,verify=1,$tls13" \
      "CREATE:$out"
    wait_listening "${ports[0]}" "$lpid" || fail "socat listener did not come up: $(tail -n 3 "$work/listen.err")"
  else
    socat_bg lpid listen -d -d -u -b 65536 \
      "OPENSSL-LISTEN:${ports[1]},bind=127.0.0.1,reuseaddr,cert=$certs/relay-b.cert.pem,key=$certs/relay-b.key.pem,cafile=$certs/relay-a.cert.pem,verify=1,$tls13" \
      "CREATE:$out"
    socat_bg mpid middle -u -b 65536 \
      "OPENSSL-LISTEN:${ports[0]},bind=127.0.0.1,reuseaddr,cert=$certs/relay-a.cert.pem,key=$certs/relay-a.key.pem,cafile=$certs/sender.cert.pem,verify=1,$tls13" \
      "OPENSSL:127.0.0.1:${ports[1]},cert=$certs/relay-a.cert.pem,key=$certs/relay-a.key.pem,cafile=$certs/relay-b.cert.pem,verify=1,commonname=relay-b,$tls13"
    wait_listening "${ports[1]}" "$lpid" || fail "socat listener did not come up: $(tail -n 3 "$work/listen.err")"
    wait_listening "${ports[0]}" "$mpid" || fail "middle socat did not come up: $(tail -n 3 "$work/middle.err")"
  fi
  t0=$EPOCHREALTIME
  socat_bg cpid connect -u -b 65536 "FILE:$input" \
    "OPENSSL:127.0.0.1:${ports[0]},cert=$certs/sender.cert.pem,key=$certs/sender.key.pem,cafile=$certs/relay-a.cert.pem,verify=1,commonname=relay-a,$tls13"
  rc=0
  wait "$lpid" || rc=$?
  last_secs=$(secs_since "$t0")
  [ "$rc" -eq 0 ] || fail "socat listener exited with $rc: $(tail -n 3 "$work/listen.err")"
  wait "$cpid" || fail "socat sender failed: $(tail -n 3 "$work/connect.err")"
  [ -z "$mpid" ] || wait "$mpid" || fail "middle socat failed: $(tail -n 3 "$work/middle.err")"
  bg_pids=()
  cmp -s "$input" "$out" || fail "socat's copy of $input differs"
  rm -f "$out"
  socat_tls=$(grep -o 'SSL connection using .*' "$work/listen.err" | head -n 1 || true)
  read -r socat_cpu _ < <(timer_cpu_rss "$work/listen.time")
}

# ---- the parts ------------------------------------------------------------------

declare -A ratio=() t_med=() b_med=()
mem_single=() # "<KiB> <relay>" of every relay that carried one stream at a time

# finish <part> <target>: medians of the runs collected in t_rates/b_rates/ratios.
finish() {
  ratio[$1]=$(median 3 "${ratios[@]}")
  t_med[$1]=$(median 1 "${t_rates[@]}")
  b_med[$1]=$(median 1 "${b_rates[@]}")
  printf '    ratios %s, median %s (target >= %s)\n' "${ratios[*]}" "${ratio[$1]}" "$2"
}

run_line() { printf '    run %d/%d  %-26s %8s s %8s MiB/s  %s\n' "$@"; }

part_hop() {
  local ports i tr br c0 save
  step "one hop: ${size_mib} MiB, tarnwick-send -> relay -> disk (synced), against a socat TLS pipe"
  mapfile -t ports < <(free_ports 2)
  start_relay hop "$(listen_settings "${ports[0]}" "${ports[1]}")" "${sender_pems[@]}"
  t_rates=() b_rates=() ratios=()
  for ((i = 1; i <= runs; i++)); do
    c0=$(cpu_of hop)
    local t0=$EPOCHREALTIME
    send "${ports[0]}" hop "$big" "$work/send.err" || fail "tarnwick-send exited with $?: $(tail -n 3 "$work/send.err")"
    last_secs=$(secs_since "$t0")
    complete_in "$work/relay-hop/root/saves/hop" 1 "$big_bytes" || fail "the relay does not hold the save complete after the confirmation"
    save=("$work/relay-hop/root/saves/hop"/*)
    cmp -s "$big" "${save[0]}" || fail "the relay's copy differs from the input"
    rm -f "${save[0]}"
    tr=$(rate "$size_mib" "$last_secs")
    run_line "$i" "$runs" "tarnwick" "$last_secs" "$tr" "(relay cpu $(sub "$(cpu_of hop)" "$c0") s)"
    socat_pipe 1 "$big" "$work/out/socat.bin"
    br=$(rate "$size_mib" "$last_secs")
    run_line "$i" "$runs" "socat 1 hop" "$last_secs" "$br" "(listener cpu $socat_cpu s)"
    t_rates+=("$tr") b_rates+=("$br") ratios+=("$(div "$tr" "$br")")
  done
  stop_relay hop
  mem_single+=("${hwm[hop]} one-hop relay")
  finish hop 1.2
}

part_fwd() {
  local ports i tr br a c0 bfile rec deadline
  step "forward hop alone: a queued ${size_mib} MiB save, relay A -> relay B -> disk, against a socat TLS pipe"
  mapfile -t ports < <(free_ports 3)
  start_b fwdb "${ports[2]}"
  t_rates=() b_rates=() ratios=()
  for ((i = 1; i <= runs; i++)); do
    # What a relay finds after a restart with one save still owed to B.
    a="$work/relay-fwda"
    rm -rf "$a"
    mkdir -p "$a/root/saves/fwd$i" "$a/root/forwards/fwd$i"
    cp "$big" "$a/root/saves/fwd$i/s"
    printf 0 >"$a/root/forwards/fwd$i/s"
    sync
    c0=$(cpu_of fwdb)
    NO_WAIT=1 start_relay fwda "$(forward_settings "${ports[0]}" "${ports[1]}" "${ports[2]}")" "${forward_pems[@]}"
    wait_complete "$work/relay-fwdb/root/saves/fwd$i" 1 "$big_bytes" "$(limit_for "$size_mib")" fwda fwdb
    last_secs=$(secs_since "$started_at")
    grep -q '^Tarnwick state: RUNNING' "$a/relay.log" || fail "A's log has no RUNNING line"
    # A drops the record once B confirmed; only then is the hop done for A.
    rec="$a/root/forwards/fwd$i/s"
    deadline=$((SECONDS + 10))
    while [ -e "$rec" ]; do
      ((SECONDS < deadline)) || fail "A still holds the forwarding record 10 s after B completed the save"
      sleep 0.05
    done
    local cpu_a cpu_b
    cpu_a=$(cpu_of fwda)
    cpu_b=$(sub "$(cpu_of fwdb)" "$c0")
    stop_relay fwda
    mem_single+=("${hwm[fwda]} forwarding relay A (run $i)")
    bfile="$work/relay-fwdb/root/saves/fwd$i/s"
    cmp -s "$big" "$bfile" || fail "B's copy differs from the input"
    rm -f "$bfile"
    rm -rf "$a/root/saves"
    tr=$(rate "$size_mib" "$last_secs")
    run_line "$i" "$runs" "tarnwick A -> B" "$last_secs" "$tr" "(cpu A $cpu_a s, B $cpu_b s)"
    socat_pipe 1 "$big" "$work/out/socat.bin"
    br=$(rate "$size_mib" "$last_secs")
    run_line "$i" "$runs" "socat 1 hop" "$last_secs" "$br" "(listener cpu $socat_cpu s)"
    t_rates+=("$tr") b_rates+=("$br") ratios+=("$(div "$tr" "$br")")
  done
  stop_relay fwdb
  mem_single+=("${hwm[fwdb]} forward hop's B")
  finish fwd 1.0
}

part_chain() {
  local ports i tr br p t0 total ca cb
  local total_mib=$((chain_n * chain_mib))
  step "chain: $chain_n saves of $chain_mib MiB back to back, origin -> A -> B, against two socat hops"
  mapfile -t ports < <(free_ports 3)
  start_b chainb "${ports[2]}"
  start_relay chaina "$(forward_settings "${ports[0]}" "${ports[1]}" "${ports[2]}")" "${forward_pems[@]}"
  t_rates=() b_rates=() ratios=()
  for ((i = 1; i <= runs; i++)); do
    ca=$(cpu_of chaina)
    cb=$(cpu_of chainb)
    t0=$EPOCHREALTIME
    for p in "${pieces[@]}"; do
      send "${ports[0]}" "chain$i" "$p" "$work/send.err" || fail "tarnwick-send exited with $?: $(tail -n 3 "$work/send.err")"
    done
    local sent
    sent=$(secs_since "$t0")
    wait_complete "$work/relay-chainb/root/saves/chain$i" "$chain_n" $((chain_mib * 1048576)) \
      "$(limit_for "$total_mib")" chaina chainb
    last_secs=$(secs_since "$t0")
    ca=$(sub "$(cpu_of chaina)" "$ca")
    cb=$(sub "$(cpu_of chainb)" "$cb")
    same_multiset "$work/relay-chainb/root/saves/chain$i" "$work/pieces.sums"
    rm -rf "$work/relay-chainb/root/saves/chain$i" "$work/relay-chaina/root/saves/chain$i"
    tr=$(rate "$total_mib" "$last_secs")
    run_line "$i" "$runs" "tarnwick origin -> A -> B" "$last_secs" "$tr" "(last sent at $sent s; cpu A $ca s, B $cb s)"
    total=0
    for p in "${pieces[@]}"; do
      socat_pipe 2 "$p" "$work/out/socat.bin"
      total=$(awk -v a="$total" -v b="$last_secs" 'BEGIN { printf "%.3f", a + b }')
    done
    br=$(rate "$total_mib" "$total")
    run_line "$i" "$runs" "socat 2 hops x $chain_n" "$total" "$br" ""
    t_rates+=("$tr") b_rates+=("$br") ratios+=("$(div "$tr" "$br")")
  done
  # B first: nothing is in flight any more.
  stop_relay chainb
  stop_relay chaina
  mem_single+=("${hwm[chaina]} chain's A" "${hwm[chainb]} chain's B")
  finish chain 0.9
}

part_par() {
  local ports i tr br f t0 failed pids c0 save
  local total_mib=$((par_n * par_mib))
  step "concurrent: $par_n senders of $par_mib MiB at once, against one sender of $total_mib MiB"
  mapfile -t ports < <(free_ports 2)
  start_relay par "$(listen_settings "${ports[0]}" "${ports[1]}")" "${sender_pems[@]}"
  t_rates=() b_rates=() ratios=()
  for ((i = 1; i <= runs; i++)); do
    c0=$(cpu_of par)
    : >"$work/par-send.err"
    pids=()
    t0=$EPOCHREALTIME
    for f in "${par_inputs[@]}"; do
      send "${ports[0]}" "many$i" "$f" "$work/par-send.err" &
      pids+=("$!")
    done
    bg_pids=("${pids[@]}")
    failed=0
    for f in "${pids[@]}"; do wait "$f" || failed=$((failed + 1)); done
    last_secs=$(secs_since "$t0")
    bg_pids=()
    [ "$failed" -eq 0 ] || fail "$failed senders failed: $(sort "$work/par-send.err" | uniq -c | head -n 3)"
    complete_in "$work/relay-par/root/saves/many$i" "$par_n" $((par_mib * 1048576)) || fail "the relay does not hold $par_n complete saves"
    same_multiset "$work/relay-par/root/saves/many$i" "$work/par.sums"
    rm -rf "$work/relay-par/root/saves/many$i"
    tr=$(rate "$total_mib" "$last_secs")
    run_line "$i" "$runs" "tarnwick $par_n at once" "$last_secs" "$tr" "(relay cpu $(sub "$(cpu_of par)" "$c0") s)"

    c0=$(cpu_of par)
    t0=$EPOCHREALTIME
    send "${ports[0]}" "one$i" "$par_one" "$work/send.err" || fail "tarnwick-send exited with $?: $(tail -n 3 "$work/send.err")"
    last_secs=$(secs_since "$t0")
    save=("$work/relay-par/root/saves/one$i"/*)
    if [ "${#save[@]}" -ne 1 ] || ! cmp -s "$par_one" "${save[0]}"; then
      fail "the relay's copy of the single stream differs"
    fi
    rm -rf "$work/relay-par/root/saves/one$i"
    br=$(rate "$total_mib" "$last_secs")
    run_line "$i" "$runs" "tarnwick 1 sender" "$last_secs" "$br" "(relay cpu $(sub "$(cpu_of par)" "$c0") s)"
    t_rates+=("$tr") b_rates+=("$br") ratios+=("$(div "$tr" "$br")")
  done
  par_threads=$(status_kib "${relay_pid[par]}" Threads)
  stop_relay par
  finish par 0.9
}

# The throttled sender: writes a known pattern as fast as the socket takes
# it, timestamps its cumulative bytes, ends with close_notify and waits for
# the relay's. "verify" checks a stored file against the pattern.
write_thr_client() {
  cat >"$work/thr.py" <<'EOF'
import bisect, random, socket, ssl, sys, time

BLOCK = random.Random(20240607).randbytes(1 << 16)
CHUNK = 1 << 13

def verify(path, size):
    with open(path, "rb") as f:
        done = 0
        while done < size:
            b = f.read(len(BLOCK))
            if not b or b != BLOCK[:len(b)]:
                return False
            done += len(b)
        return not f.read(1)

if sys.argv[1] == "verify":
    sys.exit(0 if verify(sys.argv[2], int(sys.argv[3])) else 1)

port, cafile, cert, key, peer, repo = sys.argv[1:7]
secs, skip, window, rate = float(sys.argv[7]), float(sys.argv[8]), float(sys.argv[9]), float(sys.argv[10])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.load_verify_locations(cafile)
ctx.load_cert_chain(cert, key)
ctx.verify_flags &= ~getattr(ssl, "VERIFY_X509_STRICT", 0)
s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", int(port)), timeout=30), server_hostname=peer)
s.sendall(repo.encode() + b"\0")
view = memoryview(BLOCK)
t0 = time.monotonic()
ts, sent = [0.0], [0]
n = 0
while ts[-1] < secs:
    off = n % len(BLOCK)
    s.sendall(view[off:off + CHUNK])
    n += CHUNK
    ts.append(time.monotonic() - t0)
    sent.append(n)
ended = ts[-1]
# The relay still has the socket buffers to read at the limited rate.
s.settimeout(60 + 4 * n / rate)
try:
    s.unwrap()
    confirmed = time.monotonic() - t0
except (OSError, ssl.SSLError) as e:
    confirmed = -1
s.close()

def at(t):  # bytes written by time t
    return sent[bisect.bisect_right(ts, t) - 1]

worst, worst_at, start = 0.0, skip, skip
while start + window <= secs + 1e-9:
    dev = (at(start + window) - at(start)) / window / rate - 1
    if abs(dev) > abs(worst):
        worst, worst_at = dev, start
    start += 0.01
first = at(skip) / skip / rate
mean = (at(secs) - at(skip)) / (secs - skip) / rate
print(f"worst={worst * 100:+.2f} at={worst_at:.2f} mean={(mean - 1) * 100:+.2f} "
      f"first={(first - 1) * 100:+.1f} sent={n} ended={ended:.2f} confirmed={confirmed:.2f}")
EOF
}

part_thr() {
  local ports out c0 sent confirmed save
  step "throttle: a relay limited to $thr_kib KiB/s, a sender writing as fast as it may for $thr_secs s"
  write_thr_client
  mapfile -t ports < <(free_ports 2)
  start_relay thr "$(listen_settings "${ports[0]}" "${ports[1]}" "ThrottlingEnabled=1
Bandwith=${thr_kib}KB")" "${sender_pems[@]}"
  c0=$(cpu_of thr)
  timeout -k 5 $((thr_secs * 6 + 120)) python3 "$work/thr.py" "${ports[0]}" "$certs/relay-a.cert.pem" \
    "$certs/sender.cert.pem" "$certs/sender.key.pem" relay-a thr \
    "$thr_secs" "$thr_skip" "$thr_window" $((thr_kib * 1024)) >"$work/thr.out" 2>"$work/thr.err" ||
    fail "the throttled sender failed: $(tail -n 3 "$work/thr.err")"
  out=$(tail -n 1 "$work/thr.out")
  alive thr
  thr_worst=$(sed -n 's/.*worst=\([^ ]*\).*/\1/p' <<<"$out")
  sent=$(sed -n 's/.*sent=\([0-9]*\).*/\1/p' <<<"$out")
  confirmed=$(sed -n 's/.*confirmed=\([^ ]*\).*/\1/p' <<<"$out")
  [[ $confirmed != -* ]] || fail "the relay did not confirm the throttled stream: $out"
  complete_in "$work/relay-thr/root/saves/thr" 1 "$sent" || fail "the relay does not hold the $sent bytes sent complete"
  save=("$work/relay-thr/root/saves/thr"/*)
  python3 "$work/thr.py" verify "${save[0]}" "$sent" || fail "the relay's copy differs from what was sent"
  printf '    %s (relay cpu %s s)\n' "$out" "$(sub "$(cpu_of thr)" "$c0")"
  thr_info=$out
  stop_relay thr
  mem_single+=("${hwm[thr]} throttled relay")
}

# ---- main ---------------------------------------------------------------------

big_bytes=$((size_mib * 1048576))
need_mib=0
has hop || has fwd && need_mib=$((need_mib + size_mib * 4))
has chain && need_mib=$((need_mib + chain_n * chain_mib * 4))
has par && need_mib=$((need_mib + par_n * par_mib * 4))
fresh_work $((need_mib + 256))
mkdir -p "$work/in" "$work/out"
certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" relay-a relay-b sender >/dev/null || fail "make-certs.sh failed"

load_start=$(uptime)
step "bench: table of figures, $runs runs per tool alternated, $(nproc) CPUs; uptime:$load_start"
step "making the inputs (random bytes)"
big="$work/in/big.bin"
if has hop || has fwd; then head -c "$big_bytes" /dev/urandom >"$big"; fi
pieces=()
if has chain; then
  head -c $((chain_n * chain_mib * 1048576)) /dev/urandom |
    split -b $((chain_mib * 1048576)) -d -a 3 --additional-suffix=.bin - "$work/in/piece-"
  pieces=("$work"/in/piece-*.bin)
  sha256sum "${pieces[@]}" | cut -d' ' -f1 | sort >"$work/pieces.sums"
fi
par_inputs=()
par_one="$work/in/par-one.bin"
if has par; then
  head -c $((par_n * par_mib * 1048576)) /dev/urandom >"$par_one"
  split -b $((par_mib * 1048576)) -d -a 3 --additional-suffix=.bin "$par_one" "$work/in/par-"
  par_inputs=("$work"/in/par-[0-9]*.bin)
  sha256sum "${par_inputs[@]}" | cut -d' ' -f1 | sort >"$work/par.sums"
fi
# Their write-back would otherwise land on the first timed runs.
sync

for p in hop fwd chain par thr; do
  if has "$p"; then "part_$p"; fi
done
load_end=$(uptime)

# ---- the table ------------------------------------------------------------------

# verdict <value> <op> <limit>
verdict() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
  ok = (op == ">=") ? v >= l : (op == "<") ? v < l : (op == "<=") ? v <= l : 0
  print ok ? "MET" : "MISSED" }'; }
row() { printf '%-52s %15s %15s %7s %10s %8s  %s\n' "$@"; }
# ratio_row <part> <label> <target>
ratio_row() {
  [ -n "${ratio[$1]:-}" ] || return 0
  row "$2" "${t_med[$1]} MiB/s" "${b_med[$1]} MiB/s" "${ratio[$1]}" ">= $3x" "$(div "${ratio[$1]}" "$3")" \
    "$(verdict "${ratio[$1]}" ">=" "$3")"
}

step "table ($(nproc) CPUs; medians of $runs alternated runs; at start:$load_start; at end:$load_end)"
row "figure" "tarnwick" "baseline" "ratio" "target" "/target" "verdict"
ratio_row hop "one hop, send -> relay -> disk (synced), ${size_mib} MiB" 1.2
ratio_row fwd "forward hop alone, A -> B -> disk, ${size_mib} MiB" 1.0
ratio_row chain "$chain_n x $chain_mib MiB back to back, origin -> A -> B" 0.9
ratio_row par "$par_n senders x $par_mib MiB at once, aggregate" 0.9
if [ "${#mem_single[@]}" -gt 0 ]; then
  top=$(printf '%s\n' "${mem_single[@]}" | sort -n | tail -n 1)
  top_kib=${top%% *}
  row "peak memory, one relay, one stream at a time" "$(mib "$top_kib") MiB" "-" "-" "< 16 MiB" \
    "$(div "$top_kib" 16384)" "$(verdict "$top_kib" "<" 16384)"
fi
if [ -n "${hwm[par]:-}" ]; then
  row "peak memory, one relay, $par_n concurrent streams" "$(mib "${hwm[par]}") MiB" "-" "-" "< 64 MiB" \
    "$(div "${hwm[par]}" 65536)" "$(verdict "${hwm[par]}" "<" 65536)"
fi
if [ -n "${thr_worst:-}" ]; then
  abs=${thr_worst#[+-]}
  row "throttle at $thr_kib KiB/s, worst ${thr_window} s window" "$thr_worst %" "$thr_kib KiB/s" "-" "+-2 %" \
    "$(div "$abs" 2)" "$(verdict "$abs" "<=" 2)"
fi
step "baselines: socat $(socat -V | sed -n 's/^socat version \([^ ]*\).*/\1/p') -b 65536, TLS 1.3 only (${socat_tls:-cipher not logged}); chain: two socat hops per save; concurrent: one tarnwick-send of $((par_n * par_mib)) MiB"
[ "${#mem_single[@]}" -eq 0 ] || printf '    peak memory, one stream: largest %s MiB (%s); all: %s\n' "$(mib "$top_kib")" "${top#* }" \
  "$(printf '%s\n' "${mem_single[@]}" | sort -rn | awk '{ k = $1; $1 = ""; printf "%s%.1f MiB%s", (NR > 1 ? ", " : ""), k / 1024, $0 }')"
[ -z "${par_threads:-}" ] || printf '    concurrent relay: %s threads at the end\n' "$par_threads"
[ -z "${thr_info:-}" ] || printf '    throttle (%% of the limit; first = average of the first %s s; confirmed = seconds until the relay confirmed): %s\n' "$thr_skip" "$thr_info"

ok=1
