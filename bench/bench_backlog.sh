#!/usr/bin/env bash
# Forwarding backlog: what a relay costs while many saves wait to be
# forwarded, and how fast it drains a queue of small saves. The saves and
# their forwarding records (forwards/<repo>/<save> holding 0) are written
# straight into relay A's backup root before A starts, as a relay left
# with a backlog would find them.
#
#   at rest  BACKLOG saves of 1 KiB queued at A, whose next relay never
#            answers (dial mode to a port nobody listens on): A's threads,
#            open descriptors and resident memory once the queue is loaded
#            (its log shows failing dial attempts), then how long a SIGTERM
#            takes to stop it; afterwards every save must still have its
#            record and a line in toforward.
#   drain    DRAIN saves of 1 KiB queued at A, B storing: from A's start
#            until B holds every save complete and A holds no record (polled
#            every 50 ms). Once with A dialing B (dial mode), once with B
#            dialing A (listen mode, B in the dial role), and once more in
#            dial mode with A under a limit of 1024 descriptors.
#
# Every save at B is checked for its size and its marker, and the bytes of
# all of them are compared with A's; a missing or differing save fails the
# benchmark. Targets that are missed are reported as MISSED, not failed.
#
# Environment:
#   BACKLOG=10000   saves queued for the at-rest figures
#   DRAIN=1000      saves queued for each drain
#   BENCH_DIR=      work directory (default bench-run/backlog/ in the repo; wiped)
#   BUILD_DIR=      build directory (default build/ in the repo)
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
backlog=${BACKLOG:-10000}
drain=${DRAIN:-1000}
work=${BENCH_DIR:-$root/bench-run/backlog}
repo=backlog

need_positive backlog drain

declare -A relay_pid=()
bg_pids=()
ok=0
fail_who=bench

show_logs() { show_relay_logs "$work"; }

cleanup() {
  stop_pids "${bg_pids[@]}" "${relay_pid[@]}"
  # Thousands of small files: kept only when something went wrong.
  if [ "$ok" -eq 1 ] && [ -d "$work" ]; then
    rm -rf "$work"
    [ -n "${BENCH_DIR:-}" ] || rmdir "$root/bench-run" 2>/dev/null || true
  fi
}
install_traps
shopt -s nullglob
need_build
command -v python3 >/dev/null || command -v ss >/dev/null || fail "need python3 or ss to pick ports"
clk_tck=$(getconf CLK_TCK)

secs_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
# verdict <value> <op> <limit>: MET or MISSED.
verdict() { awk -v v="$1" -v l="$3" -v op="$2" 'BEGIN {
  ok = (op == "<") ? v < l : (op == "<=") ? v <= l : 0
  print ok ? "MET" : "MISSED" }'; }
# count_files <dir> [find tests]: 0 while the directory does not exist yet.
count_files() {
  local d=$1
  shift
  { find "$d" -type f "$@" 2>/dev/null || true; } | wc -l
}

# ---- the backlog ------------------------------------------------------------------

# queue_saves <backup root> <n>: n saves of 1 KiB with a record each, written
# one after the other so that their mtimes give the order to send them in.
queue_saves() {
  local rootdir=$1 n=$2 f
  mkdir -p "$rootdir/saves/$repo" "$rootdir/forwards/$repo"
  head -c $((n * 1024)) /dev/urandom | split -b 1024 -d -a 6 - "$rootdir/saves/$repo/s"
  [ "$(count_files "$rootdir/saves/$repo")" -eq "$n" ] || fail "could not write $n saves"
  for f in "$rootdir/saves/$repo"/*; do
    printf 0 >"$rootdir/forwards/$repo/${f##*/}"
  done
}

# ---- relays -----------------------------------------------------------------------

# start_relay <name> <settings text> <pem>=<source>...: the relay lives in
# relay-<name>/, its backup root is relay-<name>/root (filled beforehand by
# the caller when it needs a backlog). RELAY_WRAP, when set, is a command
# that execs the relay (so that the pid stays the relay's).
start_relay() {
  local r=$1 dir="$work/relay-$1"
  make_relay "$dir" "$dir/root" "${@:2}"
  # There before the relay's own redirection opens it: wait_running reads it
  # at once.
  : >"$dir/relay.log"
  # shellcheck disable=SC2086  # the wrapper is split into words on purpose
  ${RELAY_WRAP:-} "$dir/tarnwick" 2>"$dir/relay.log" &
  relay_pid[$r]=$!
  wait_running "$dir/relay.log" "${relay_pid[$r]}" "relay $r"
}

alive() { kill -0 "${relay_pid[$1]}" 2>/dev/null || fail "relay $1 died"; }

# timed_stop <name>: SIGTERM, then the exit polled every 10 ms (up to 10 s,
# then SIGKILL). Sets stop_secs; a non-zero exit fails.
timed_stop() {
  local r=$1 p=${relay_pid[$1]} t0 rc=0 i
  t0=$EPOCHREALTIME
  kill -TERM "$p"
  for ((i = 0; i < 1000; i++)); do
    kill -0 "$p" 2>/dev/null || break
    sleep 0.01
  done
  stop_secs=$(secs_since "$t0")
  kill -KILL "$p" 2>/dev/null || true
  wait "$p" || rc=$?
  relay_pid[$r]=""
  [ "$rc" -eq 0 ] || fail "relay $r exited with status $rc after SIGTERM (137: killed after 10 s)"
}

stop_relay() {
  alive "$1"
  stop_relay_pid "relay_pid[$1]" "relay $1"
}

# ---- at rest ----------------------------------------------------------------------

at_rest() {
  local ports dead a dir t0 bogus deadline
  mapfile -t ports < <(free_ports 3)
  [ "${#ports[@]}" -eq 3 ] || fail "no free loopback ports"
  dead=${ports[2]}
  dir="$work/relay-rest"
  step "at rest: $backlog saves of 1 KiB queued at A, forwarding to 127.0.0.1:$dead where nothing listens"
  queue_saves "$dir/root" "$backlog"
  t0=$EPOCHREALTIME
  start_relay rest "[Connection]
Host=
Port=${ports[0]}
ClosurePort=${ports[1]}
PeerCN=sender
ThrottlingEnabled=0
[Forward]
Host=127.0.0.1
Port=$dead
PeerCN=relay-b" \
    cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem \
    clientcert.pem=sender.cert.pem forwardcert.pem=relay-b.cert.pem
  rest_running=$(secs_since "$t0")

  # The records are read and handed off before the first dial: two failed
  # attempts mean the queue is loaded and the transmitter is retrying.
  deadline=$((SECONDS + 20))
  while :; do
    bogus=$(grep -c ' info: Bogus connection$' "$dir/relay.log" || true)
    [ "$bogus" -ge 2 ] && break
    ((SECONDS < deadline)) || fail "A's log shows $bogus failed dial attempts after 20 s, expected 2"
    alive rest
    sleep 0.1
  done
  sleep 1
  alive rest
  a=${relay_pid[rest]}
  rest_threads=$(status_kib "$a" Threads)
  rest_fds=$(find "/proc/$a/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  rest_rss=$(status_kib "$a" VmRSS)
  rest_hwm=$(status_kib "$a" VmHWM)
  rest_bogus=$(grep -c ' info: Bogus connection$' "$dir/relay.log" || true)
  rest_at=$(secs_since "$t0")

  [ "$(count_files "$dir/root/forwards")" -eq "$backlog" ] || fail "A lost records while nothing could be sent"
  timed_stop rest
  rest_stop=$stop_secs
  grep -q '^Tarnwick state: STOPPED' "$dir/relay.log" || fail "A's log has no STOPPED line"

  # Nothing was sent, so every save is still owed: records and queue lines.
  [ "$(count_files "$dir/root/forwards")" -eq "$backlog" ] ||
    fail "after the stop A holds $(count_files "$dir/root/forwards") records, expected $backlog"
  local lines
  lines=$(sort -u "$dir/root/toforward" | grep -c . || true)
  [ "$lines" -eq "$backlog" ] || fail "after the stop toforward holds $lines distinct lines, expected $backlog"
  odd_lines "$dir/relay.log" "at rest"
  rm -rf "$dir/root/saves" "$dir/root/forwards"
}

# odd_lines <log> <label>: error entries, and information entries other than
# the expected ones, are worth a look; they are shown, not failed.
odd_lines() {
  local odd
  odd=$(grep -v -e '^Tarnwick state: ' -e ' info: Bogus connection$' "$1" | sort | uniq -c | sort -rn | head -n 8 || true)
  [ -z "$odd" ] || notes+=("$2: other log lines (count, line):"$'\n'"$odd")
}

# ---- drains -----------------------------------------------------------------------

names_in() { find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort; }

# check_drained <A root> <B root>: every save at B, complete, same bytes.
check_drained() {
  local ar=$1 br=$2 names missing bad
  [ -d "$br/saves/$repo" ] || fail "B holds no saves/$repo"
  if find "$br/saves" -name '*_pending' | grep -q .; then
    fail "B holds pending markers: $(find "$br/saves" -name '*_pending' | head -n 5)"
  fi
  missing=$(comm -23 <(names_in "$ar/saves/$repo") <(names_in "$br/saves/$repo") | head -n 5)
  [ -z "$missing" ] || fail "saves missing at B: $missing"
  bad=$(find "$br/saves/$repo" -type f ! -size 1024c | head -n 5)
  [ -z "$bad" ] || fail "saves at B that are not 1 KiB: $bad"
  mapfile -t names < <(names_in "$ar/saves/$repo")
  # All the bytes in one comparison; on a difference, name the saves.
  if ! cmp -s <(cd "$ar/saves/$repo" && cat -- "${names[@]}") <(cd "$br/saves/$repo" && cat -- "${names[@]}"); then
    bad=$(for n in "${names[@]}"; do cmp -s "$ar/saves/$repo/$n" "$br/saves/$repo/$n" || echo "$n"; done | head -n 5)
    fail "saves at B differ from A's: $bad"
  fi
  # Sent oldest first, one at a time: B received them in name order.
  local order
  order=$(find "$br/saves/$repo" -type f -printf '%T@ %f\n' | sort -n | cut -d' ' -f2)
  [ "$order" = "$(printf '%s\n' "${names[@]}")" ] && in_order=yes || in_order=no
}

# drain <label> <mode: dial|listen> [wrapper]: sets drain_secs, drain_running.
drain_run() {
  local label=$1 mode=$2 ports ar br t0 deadline got left pend
  mapfile -t ports < <(free_ports 4)
  [ "${#ports[@]}" -eq 4 ] || fail "no free loopback ports"
  local a_port=${ports[0]} a_closure=${ports[1]} b_port=${ports[2]} a_fwd=${ports[3]}
  local an="a-$label" bn="b-$label"
  ar="$work/relay-$an/root"
  br="$work/relay-$bn/root"
  queue_saves "$ar" "$drain"

  if [ "$mode" = dial ]; then
    RELAY_WRAP="" start_relay "$bn" "[Connection]
Host=
Port=$b_port
PeerCN=relay-a
ThrottlingEnabled=0" \
      cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem clientcert.pem=relay-a.cert.pem
    a_forward="[Forward]
Host=127.0.0.1
Port=$b_port
PeerCN=relay-b"
  else
    RELAY_WRAP="" start_relay "$bn" "[Connection]
Host=127.0.0.1
Port=$a_fwd
ClosurePort=$a_closure
PeerCN=relay-a
DelayBeforeRetry=100
ThrottlingEnabled=0" \
      cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem servercert.pem=relay-a.cert.pem
    a_forward="[Forward]
Host=
Port=$a_fwd
PeerCN=relay-b"
  fi

  t0=$EPOCHREALTIME
  start_relay "$an" "[Connection]
Host=
Port=$a_port
ClosurePort=$a_closure
PeerCN=sender
ThrottlingEnabled=0
$a_forward" \
    cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem \
    clientcert.pem=sender.cert.pem forwardcert.pem=relay-b.cert.pem
  drain_running=$(secs_since "$t0")

  # Globs, not find: twenty polls a second must not take a core from the
  # relays being measured.
  local -a held marks recs
  deadline=$((SECONDS + 60 + drain / 4))
  while :; do
    held=("$br/saves/$repo"/*)
    marks=("$br/saves/$repo"/*_pending)
    recs=("$ar/forwards/$repo"/*)
    got=$((${#held[@]} - ${#marks[@]}))
    pend=${#marks[@]}
    left=${#recs[@]}
    if [ "$got" -ge "$drain" ] && [ "$pend" -eq 0 ] && [ "$left" -eq 0 ]; then break; fi
    ((SECONDS < deadline)) ||
      fail "$label: after $((60 + drain / 4)) s B holds $got complete saves ($pend pending), A still $left records"
    alive "$an"
    alive "$bn"
    sleep 0.05
  done
  drain_secs=$(secs_since "$t0")
  drain_threads=$(status_kib "${relay_pid[$an]}" Threads)
  drain_hwm=$(status_kib "${relay_pid[$an]}" VmHWM)
  # Much less than the wall time: the drain waits on round trips and syncs.
  drain_cpu="cpu A $(proc_cpu "${relay_pid[$an]}") s, B $(proc_cpu "${relay_pid[$bn]}") s"

  check_drained "$ar" "$br"
  [ "$(count_files "$ar/forwards")" -eq 0 ] || fail "$label: A still holds records: $(find "$ar/forwards" -type f | head -n 5)"
  # B dials A's closure port at its stop: B goes first, while A is up.
  stop_relay "$bn"
  stop_relay "$an"
  odd_lines "$work/relay-$an/relay.log" "$label, A"
  odd_lines "$work/relay-$bn/relay.log" "$label, B"
  if grep -q -i -e 'too many open files' -e 'failed with 24$' "$work/relay-$an/relay.log"; then
    fail "$label: A ran out of descriptors"
  fi
  rm -rf "$ar/saves" "$br/saves"
}

# ---- main -------------------------------------------------------------------------

fresh_work $((backlog * 12 / 1024 + drain * 30 / 1024 + 64))
certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" relay-a relay-b sender || fail "make-certs.sh failed"

notes=()
load_start=$(load)
step "bench: forwarding backlog, 1 KiB saves, $(nproc) CPUs, load $load_start"

at_rest

declare -A d_secs=() d_order=()
run_drain() {
  step "drain: $drain saves, $1"
  RELAY_WRAP=${3:-} drain_run "$2" "${2%%-*}"
  d_secs[$2]=$drain_secs
  d_order[$2]=$in_order
  printf '    %s s (A RUNNING after %s s), A: %s threads, VmHWM %s MiB; %s\n' \
    "$drain_secs" "$drain_running" "$drain_threads" "$(mib "$drain_hwm")" "$drain_cpu"
}
run_drain "A dials B (dial mode)" dial
run_drain "B dials A (listen mode, B retries every 100 ms)" listen
if command -v prlimit >/dev/null; then
  run_drain "A dials B, A under prlimit --nofile=1024" dial-nofile "prlimit --nofile=1024 --"
fi
load_end=$(load)

step "results (load at start $load_start, at end $load_end; $(nproc) CPUs)"
row() { printf '    %-44s %14s   %-10s %s\n' "$@"; }
row "measure" "value" "target" ""
row "at rest, $backlog queued: threads" "$rest_threads" "<= 8" "$(verdict "$rest_threads" "<=" 8)"
row "at rest, $backlog queued: open descriptors" "$rest_fds" "< 64" "$(verdict "$rest_fds" "<" 64)"
row "at rest, $backlog queued: VmRSS" "$(mib "$rest_rss") MiB" "< 32 MiB" "$(verdict "$rest_rss" "<" 32768)"
row "at rest, $backlog queued: VmHWM" "$(mib "$rest_hwm") MiB" "< 32 MiB" "$(verdict "$rest_hwm" "<" 32768)"
row "at rest, $backlog queued: SIGTERM to exit" "$rest_stop s" "<= 1 s" "$(verdict "$rest_stop" "<=" 1)"
for k in dial listen dial-nofile; do
  [ -n "${d_secs[$k]:-}" ] || continue
  case $k in
    dial) what="A dials B" ;;
    listen) what="B dials A" ;;
    *) what="A dials B, nofile 1024" ;;
  esac
  row "drain $drain, $what" "${d_secs[$k]} s" "< 15 s" \
    "$(verdict "${d_secs[$k]}" "<" 15)  ($(awk -v n="$drain" -v s="${d_secs[$k]}" 'BEGIN { printf "%.0f", n / s }') saves/s, in order: ${d_order[$k]})"
done
printf '    at rest: A RUNNING %s s after its start, figures read at %s s, %s failed dial attempts logged by then\n' \
  "$rest_running" "$rest_at" "$rest_bogus"
for n in "${notes[@]}"; do printf '    %s\n' "${n//$'\n'/$'\n'      }"; done

ok=1
