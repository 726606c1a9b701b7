#!/usr/bin/env bash
# Abuse: what hostile or broken clients on the relay's port cost a legitimate
# sender. The relay is in the listen role with RequireClientCert=0 (so anyone
# may complete a handshake), the default MaxStreams (64) and the throttle off;
# every sender here presents no certificate. Each part gets a fresh relay.
#
#   idle      IDLE plain TCP connections opened to the relay's port and held,
#             never saying a word. Then a 1 MiB send, retried once a second
#             while it fails (at most 30 tries): time from the last connection
#             being open to the send's exit 0, and the relay's peak count of
#             open descriptors from the first connection until then.
#   slow      SLOW clients complete a TLS handshake, send a one-field header
#             and then one byte every 10 s; SLOW more plain TCP connections
#             stay idle. The median time of RUNS 1 MiB sends under that
#             (11 s apart), against the median of RUNS sends before the
#             attackers came.
#   parallel  PARALLEL senders of PARALLEL_MIB each (distinct random files,
#             one repository) started at once: total time until the last
#             exits, aggregate rate, and the relay's peak memory (VmHWM).
#
# The attackers are a python3 helper that raises its own descriptor limit;
# the relay keeps the limit it inherits (shown in the output). Every save is
# compared with its input byte for byte; a sender that fails, a missing or
# differing save, or a relay that dies or exits non-zero fails the benchmark.
# Targets that are missed are reported as MISSED, not failed.
#
# Environment:
#   IDLE=1000         idle connections held in the first part
#   SLOW=20           trickling TLS clients (and as many idle connections)
#   RUNS=3            sends with and without the trickling clients
#   PARALLEL=50       concurrent senders in the last part
#   PARALLEL_MIB=8    size of each of their files
#   BENCH_DIR=        work directory (default bench-run/abuse/ in the repo; wiped)
#   BUILD_DIR=        build directory (default build/ in the repo)
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
idle_n=${IDLE:-1000}
slow_n=${SLOW:-20}
runs=${RUNS:-3}
par_n=${PARALLEL:-50}
par_mib=${PARALLEL_MIB:-8}
work=${BENCH_DIR:-$root/bench-run/abuse}

need_positive idle_n slow_n runs par_n par_mib

relay_pid=""
relay_dir=""
bg_pids=()
ok=0
fail_who=bench

show_logs() {
  if [ -n "$relay_dir" ]; then show_log "relay log ($(basename "$relay_dir"))" "$relay_dir/relay.log" 40; fi
  return 0
}

cleanup() {
  stop_pids "${bg_pids[@]}" "$relay_pid"
  if [ -d "$work" ]; then
    rm -f "$work"/input-*.bin "$work"/par/*.bin
    rm -rf "$work"/relay-*/root/saves
    if [ "$ok" -eq 1 ]; then
      rm -rf "$work"
      [ -n "${BENCH_DIR:-}" ] || rmdir "$root/bench-run" 2>/dev/null || true
    fi
  fi
}
install_traps
shopt -s nullglob
need_build
command -v python3 >/dev/null || fail "python3 not found: it plays the attackers"
command -v timeout >/dev/null || fail "timeout (coreutils) not found"

secs_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
# verdict <value> <op> <limit>: MET or MISSED.
verdict() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
  ok = (op == "<") ? v < l : (op == "<=") ? v <= l : 0
  print ok ? "MET" : "MISSED" }'; }
fd_count() { local f=(/proc/"$1"/fd/*); echo "${#f[@]}"; }

# ---- the attackers ----------------------------------------------------------------

# One python process holds every hostile connection of a part. It prints
# "ready ..." once they are all set up, and "end ..." (how many the relay has
# not closed yet) when it gets SIGTERM or its lifetime runs out.
write_attacker() {
  cat >"$work/attackers.py" <<'EOF'
import errno, resource, select, signal, socket, ssl, sys, time

stop = False
def on_term(*_):
    global stop
    stop = True
signal.signal(signal.SIGTERM, on_term)

def say(line):
    print(line, flush=True)

def room_for(n):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = n + 64
    if soft != resource.RLIM_INFINITY and soft < want:
        if hard != resource.RLIM_INFINITY and hard < want:
            sys.exit(f"need {want} descriptors, the hard limit is {hard}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))

def open_idle(port, n, deadline):
    """n non-blocking connects; a full accept queue only delays some."""
    done, pending, failed = [], {}, 0
    poller = select.poll()
    for _ in range(n):
        s = socket.socket()
        s.setblocking(False)
        err = s.connect_ex(("127.0.0.1", port))
        if err == 0:
            done.append(s)
        elif err in (errno.EINPROGRESS, errno.EAGAIN):
            pending[s.fileno()] = s
            poller.register(s, select.POLLOUT)
        else:
            failed += 1
            s.close()
    while pending and time.monotonic() < deadline:
        for fd, _ in poller.poll(100):
            s = pending.pop(fd)
            poller.unregister(fd)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                done.append(s)
            else:
                failed += 1
                s.close()
    return done, list(pending.values()), failed

def plain_open(s):
    try:
        return s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False

def tls_open(t):
    try:
        t.settimeout(0.05)
        return t.recv(1) != b""
    except TimeoutError:
        return True
    except (OSError, ssl.SSLError):
        return False

def hold(lifetime, tick=None, every=None):
    end = time.monotonic() + lifetime
    due = time.monotonic() + every if every else None
    while not stop and time.monotonic() < end:
        time.sleep(0.2)
        if due and time.monotonic() >= due:
            tick()
            due += every

mode, port, lifetime = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
if mode == "idle":
    n = int(sys.argv[4])
    room_for(n)
    done, pending, failed = open_idle(port, n, time.monotonic() + 20)
    say(f"ready connected={len(done)} pending={len(pending)} failed={failed}")
    hold(lifetime)
    say(f"end open={sum(plain_open(s) for s in done)} of {len(done)}")
elif mode == "slow":
    n, cafile, peer, repo, every = int(sys.argv[4]), sys.argv[5], sys.argv[6], sys.argv[7], float(sys.argv[8])
    room_for(2 * n)
    ctx = ssl.create_default_context(cafile=cafile)
    ctx.verify_flags &= ~getattr(ssl, "VERIFY_X509_STRICT", 0)
    tls, tls_failed = [], []
    for _ in range(n):
        try:
            t = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=15), server_hostname=peer)
            t.sendall(repo.encode() + b"\0")
            tls.append(t)
        except (OSError, ssl.SSLError) as e:
            tls_failed.append(type(e).__name__)
    idle, pending, failed = open_idle(port, n, time.monotonic() + 20)
    say(f"ready tls={len(tls)} tls_failed={len(tls_failed)} {','.join(sorted(set(tls_failed)))} "
        f"idle={len(idle)} idle_pending={len(pending)} idle_failed={failed}")
    sent = 0
    dead = set()
    def trickle():
        global sent
        for i, t in enumerate(tls):
            if i in dead:
                continue
            try:
                t.settimeout(5)
                t.sendall(b"x")
                sent += 1
            except (OSError, ssl.SSLError):
                dead.add(i)
    hold(lifetime, trickle, every)
    say(f"end tls_open={sum(tls_open(t) for t in tls)} of {len(tls)} bytes_trickled={sent} "
        f"idle_open={sum(plain_open(s) for s in idle)} of {len(idle)}")
EOF
}

# start_attackers <name> <args>...: sets attack_pid, waits up to 60 s for ready.
start_attackers() {
  local name=$1 i
  shift
  attack_out="$work/attack-$name.out"
  : >"$attack_out"
  python3 "$work/attackers.py" "$@" >"$attack_out" 2>"$work/attack-$name.err" &
  attack_pid=$!
  bg_pids+=("$attack_pid")
  for ((i = 0; i < 600; i++)); do
    grep -q '^ready' "$attack_out" && break
    kill -0 "$attack_pid" 2>/dev/null || fail "the attackers exited: $(tail -n 3 "$work/attack-$name.err")"
    alive
    sleep 0.1
  done
  attack_ready=$(grep '^ready' "$attack_out") || fail "the attackers were not ready after 60 s"
  attack_ready=${attack_ready#ready }
}

# Sets attack_end to what the attackers still held.
stop_attackers() {
  local i
  kill -TERM "$attack_pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$attack_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_pids "$attack_pid"
  bg_pids=()
  attack_end=$(grep '^end' "$attack_out" || echo "end (no summary)")
  attack_end=${attack_end#end }
}

# ---- the relay ----------------------------------------------------------------------

start_relay() {
  relay_dir="$work/relay-$1"
  relay_port=$(free_ports 1) || fail "no free loopback port"
  make_relay "$relay_dir" "$relay_dir/root" "[Connection]
Host=
Port=$relay_port
PeerCN=sender
RequireClientCert=0
ThrottlingEnabled=0" \
    cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem clientcert.pem=sender.cert.pem
  : >"$relay_dir/relay.log"
  "$relay_dir/tarnwick" 2>"$relay_dir/relay.log" &
  relay_pid=$!
  wait_running "$relay_dir/relay.log" "$relay_pid" relay
}

alive() { kill -0 "$relay_pid" 2>/dev/null || fail "the relay died"; }

stop_relay() {
  alive
  stop_relay_pid relay_pid relay
  grep -q '^Tarnwick state: STOPPED' "$relay_dir/relay.log" || fail "the relay's log has no STOPPED line"
}

# log_summary <label>: the relay's entries of a part, counted with addresses
# and dates folded, so that a thousand refused handshakes read as one line.
log_summary() {
  local lines
  lines=$(grep -v '^Tarnwick state: ' "$relay_dir/relay.log" |
    sed -E -e 's/^[0-9T:+-]* //' -e 's/[0-9]+(\.[0-9]+){3}/<ip>/g' \
      -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}(_[0-9]+)?/<date>/g' |
    sort | uniq -c | sort -rn | head -n 6 || true)
  [ -z "$lines" ] || notes+=("$1: relay log lines (count, line):"$'\n'"$lines")
}

# send <file> <repo> <stderr file> [timeout]: one no-certificate send; returns its status.
send() {
  timeout -k 5 "${4:-60}" "$build/tarnwick-send" --quiet --host 127.0.0.1 --port "$relay_port" \
    --repo "$2" --ca "$certs/relay-a.cert.pem" --peer-name relay-a --wait 45 "$1" 2>>"$3"
}

# check_saves <repo> <count> <input>...: exactly count complete saves with no
# marker, holding the inputs' bytes (as a multiset: names go by arrival).
check_saves() {
  local repo=$1 n=$2 dir="$relay_dir/root/saves/$1" got want pend
  shift 2
  [ -d "$dir" ] || fail "no saves/$repo at the relay"
  pend=$(find "$dir" -name '*_pending' | head -n 5)
  [ -z "$pend" ] || fail "pending markers in saves/$repo: $pend"
  got=$(find "$dir" -type f | wc -l)
  [ "$got" -eq "$n" ] || fail "saves/$repo holds $got saves, expected $n"
  want=$(sha256sum -- "$@" | cut -d' ' -f1 | sort)
  got=$(cd "$dir" && find . -type f -exec sha256sum {} + | cut -d' ' -f1 | sort)
  [ "$want" = "$got" ] || fail "saves/$repo differ from the inputs: $(diff <(echo "$want") <(echo "$got") | grep '^>' | head -n 3)"
}

# ---- idle connections -------------------------------------------------------------

# fd_sampler <pid> <out> <stop file>: the peak of the pid's open descriptors,
# polled every 100 ms until the stop file appears, the pid exits or 180 s pass.
fd_sampler() {
  local p=$1 peak=0 n i
  for ((i = 0; i < 1800; i++)); do
    [ -e "$3" ] && break
    kill -0 "$p" 2>/dev/null || break
    n=$(fd_count "$p")
    ((n > peak)) && peak=$n
    sleep 0.1
  done
  echo "$peak" >"$2"
}

part_idle() {
  local input="$work/input-idle.bin" t0 rc sampler deadline
  step "idle: $idle_n TCP connections held, then a 1 MiB send (retried every second, at most 30 tries)"
  head -c $((1024 * 1024)) /dev/urandom >"$input"
  start_relay idle
  idle_nofile=$(awk '/^Max open files/ { print $4 }' "/proc/$relay_pid/limits")
  idle_fds_before=$(fd_count "$relay_pid")
  rm -f "$work/fd.stop"
  fd_sampler "$relay_pid" "$work/fd.peak" "$work/fd.stop" &
  sampler=$!
  bg_pids=("$sampler")
  start_attackers idle idle "$relay_port" 300 "$idle_n"
  idle_fds_ready=$(fd_count "$relay_pid")

  t0=$EPOCHREALTIME
  deadline=$((SECONDS + 90))
  idle_rcs=()
  for ((idle_tries = 1; idle_tries <= 30; idle_tries++)); do
    rc=0
    send "$input" idle "$work/idle-send.err" 40 || rc=$?
    [ "$rc" -eq 0 ] && break
    idle_rcs+=("$rc")
    alive
    ((SECONDS < deadline)) || break
    sleep 1
  done
  idle_secs=$(secs_since "$t0")
  [ "$rc" -eq 0 ] || fail "the send never got through: statuses ${idle_rcs[*]}; $(tail -n 3 "$work/idle-send.err")"
  idle_fds_after=$(fd_count "$relay_pid")
  touch "$work/fd.stop"
  wait "$sampler" || true
  idle_fds_peak=$(cat "$work/fd.peak")
  stop_attackers
  idle_hwm=$(status_kib "$relay_pid" VmHWM)
  idle_attack="$attack_ready; when the send was done: $attack_end"
  stop_relay
  # Failed tries may leave pending saves; the one that got through must be whole.
  local whole
  mapfile -t whole < <(find "$relay_dir/root/saves/idle" -type f ! -name '*_pending')
  [ "${#whole[@]}" -eq 1 ] || fail "expected one complete save in saves/idle, found ${#whole[@]}"
  cmp -s "$input" "${whole[0]}" || fail "${whole[0]} differs from the input"
  idle_pending=$(find "$relay_dir/root/saves/idle" -name '*_pending' | wc -l)
  log_summary "idle"
  if [ "${#idle_rcs[@]}" -gt 0 ]; then
    notes+=("idle: failed tries exited with ${idle_rcs[*]}: $(sort "$work/idle-send.err" | uniq -c | sort -rn | head -n 3 | tr '\n' ';')")
  fi
}

# ---- trickling clients ------------------------------------------------------------

# timed_sends <label> <input> <pause>: RUNS sends, each must store, with a
# pause between them; sets last_median.
timed_sends() {
  local i t0 rc
  local -a secs=()
  for ((i = 0; i < runs; i++)); do
    ((i == 0)) || sleep "$3"
    alive
    t0=$EPOCHREALTIME
    rc=0
    send "$2" legit "$work/slow-send.err" || rc=$?
    secs+=("$(secs_since "$t0")")
    [ "$rc" -eq 0 ] || fail "$1: send $((i + 1)) exited with $rc: $(tail -n 2 "$work/slow-send.err")"
  done
  last_median=$(median 3 "${secs[@]}")
  last_all="${secs[*]}"
}

part_slow() {
  local input="$work/input-slow.bin" i
  step "slow: $slow_n TLS clients trickling a byte every 10 s and $slow_n idle connections; $runs sends of 1 MiB before and during"
  head -c $((1024 * 1024)) /dev/urandom >"$input"
  start_relay slow
  timed_sends "no attackers" "$input" 0
  slow_base=$last_median
  slow_base_all=$last_all
  start_attackers slow slow "$relay_port" 300 "$slow_n" "$certs/relay-a.cert.pem" relay-a trickle 10
  case $attack_ready in
    "tls=$slow_n tls_failed=0"*) ;;
    *) notes+=("slow: not every attacker got in: $attack_ready") ;;
  esac
  # Spread over the first trickled bytes and the idle handshakes' expiry.
  timed_sends "under attack" "$input" 11
  slow_attacked=$last_median
  slow_attacked_all=$last_all
  slow_fds=$(fd_count "$relay_pid")
  stop_attackers
  slow_attack="$attack_ready; after the sends: $attack_end"
  stop_relay
  local inputs=()
  for ((i = 0; i < 2 * runs; i++)); do inputs+=("$input"); done
  check_saves legit $((2 * runs)) "${inputs[@]}"
  slow_delay=$(sub "$slow_attacked" "$slow_base")
  log_summary "slow"
}

# ---- concurrent senders -----------------------------------------------------------

part_parallel() {
  local i t0 rc failed=() pids=() inputs=()
  step "parallel: $par_n senders of $par_mib MiB at once, one repository"
  mkdir -p "$work/par"
  head -c $((par_n * par_mib * 1024 * 1024)) /dev/urandom |
    split -b $((par_mib * 1024 * 1024)) -d -a 3 --additional-suffix=.bin - "$work/par/in-"
  inputs=("$work"/par/in-*.bin)
  [ "${#inputs[@]}" -eq "$par_n" ] || fail "could not write $par_n inputs"
  start_relay parallel
  : >"$work/par-send.err"
  t0=$EPOCHREALTIME
  for f in "${inputs[@]}"; do
    send "$f" many "$work/par-send.err" 300 &
    pids+=("$!")
  done
  bg_pids=("${pids[@]}")
  for i in "${!pids[@]}"; do
    rc=0
    wait "${pids[$i]}" || rc=$?
    [ "$rc" -eq 0 ] || failed+=("$((i + 1)):$rc")
  done
  par_secs=$(secs_since "$t0")
  bg_pids=()
  [ "${#failed[@]}" -eq 0 ] || fail "senders failed (index:status): ${failed[*]}; $(sort "$work/par-send.err" | uniq -c | head -n 3)"
  alive
  par_hwm=$(status_kib "$relay_pid" VmHWM)
  par_threads=$(status_kib "$relay_pid" Threads)
  par_cpu=$(proc_cpu "$relay_pid")
  stop_relay
  check_saves many "$par_n" "${inputs[@]}"
  par_rate=$(rate $((par_n * par_mib)) "$par_secs")
  log_summary "parallel"
}

# ---- main ---------------------------------------------------------------------------

fresh_work $((par_n * par_mib * 2 + 64))
certs="$work/certs"
clk_tck=$(getconf CLK_TCK)
"$root/scripts/make-certs.sh" "$certs" relay-a sender || fail "make-certs.sh failed"
write_attacker

notes=()
load_start=$(uptime)
step "bench: abusive clients, $(nproc) CPUs; uptime:$load_start"

part_idle
part_slow
part_parallel
load_end=$(uptime)

step "results ($(nproc) CPUs; at start:$load_start; at end:$load_end)"
row() { printf '    %-46s %14s   %-10s %s\n' "$@"; }
row "measure" "value" "target" ""
row "$idle_n idle conns: 1 MiB send exits 0 after" "$idle_secs s" "<= 15 s" \
  "$(verdict "$idle_secs" "<=" 15)  ($idle_tries tries)"
row "$idle_n idle conns: relay open descriptors" "$idle_fds_peak" "< 300" \
  "$(verdict "$idle_fds_peak" "<" 300)  (peak; $idle_fds_before before, $idle_fds_ready all open, $idle_fds_after sent)"
row "$slow_n trickling + $slow_n idle: extra send time" "$slow_delay s" "< 5 s" \
  "$(verdict "$slow_delay" "<" 5)  (median $slow_attacked s vs $slow_base s)"
row "$par_n x $par_mib MiB at once: total time" "$par_secs s" "-" "($par_rate MiB/s aggregate)"
row "$par_n x $par_mib MiB at once: relay VmHWM" "$(mib "$par_hwm") MiB" "< 64 MiB" \
  "$(verdict "$par_hwm" "<" 65536)"
printf '    idle: relay limit %s descriptors, VmHWM %s MiB; attackers %s; %s failed tries left pending saves\n' \
  "$idle_nofile" "$(mib "$idle_hwm")" "$idle_attack" "$idle_pending"
printf '    slow: sends %s s without, %s s with attackers; relay held %s descriptors; attackers %s\n' \
  "$slow_base_all" "$slow_attacked_all" "$slow_fds" "$slow_attack"
printf '    parallel: relay %s threads at the end, %s s of CPU in all\n' "$par_threads" "$par_cpu"
for n in "${notes[@]}"; do printf '    %s\n' "${n//$'\n'/$'\n'      }"; done

ok=1
