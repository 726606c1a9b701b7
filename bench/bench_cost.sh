#!/usr/bin/env bash
# What hashing costs: the CPU seconds each process spends per GiB carried,
# for this build and, when BASE_BUILD_DIR names one, a build without save
# identities, alternated RUNS times each (medians).
#
# One run: tarnwick-send -> relay A -> relay B on loopback, A forwarding to B
# in dial mode, throttle off, both relays fresh. SIZE_MIB of random bytes go
# out with a plain tarnwick-send (no --save: the sender hashes nothing, A
# computes the identity). Measured:
#   send   tarnwick-send's user+system time (bash's time keyword: the child's
#          rusage, timeout included).
#   A, B   each relay's utime+stime from /proc/<pid>/stat, from RUNNING until
#          B holds the save complete and A dropped its forwarding record,
#          read just before the relay is stopped.
#   hop    the seconds from the sender's start until A confirmed (the
#          sender's exit), and their MiB/s.
# Targets, against the base build: one-hop time within 15 % (median of the
# per-run ratios new/base, the two builds alternating so that the machine's
# load falls on both) and at most 0.7 CPU-s/GiB added per hashing relay
# (difference of the medians). A missed target is reported as MISSED, not
# failed; a wrong or missing copy at A or B, a failing sender or a relay that
# dies fails the benchmark.
#
# The floor under the added cost: `openssl speed -seconds 3 sha256` on
# 16384-byte blocks, converted to CPU-s/GiB, is what one pass of SHA-256
# over the bytes costs on this CPU whatever the relay does around it.
#
# Environment:
#   SIZE_MIB=1024    size of the save
#   RUNS=5           runs per build, alternated
#   BUILD_DIR=       build measured (default build/ in the repo)
#   BASE_BUILD_DIR=  build to compare with; unset: no comparison
#   BENCH_DIR=       work directory (default bench-run/cost/ in the repo;
#                    wiped); a tmpfs one takes the disk out of the hop time
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
size_mib=${SIZE_MIB:-1024}
runs=${RUNS:-5}
work=${BENCH_DIR:-$root/bench-run/cost}
new_build=$build
base_build=${BASE_BUILD_DIR:-}

need_positive size_mib runs

declare -A relay_pid=()
ok=0
fail_who=bench

show_logs() { show_relay_logs "$work"; }

cleanup() {
  stop_pids "${relay_pid[@]}"
  if [ -d "$work" ]; then
    rm -rf "$work"/in "$work"/relay-*/root/saves
    if [ "$ok" -eq 1 ]; then
      rm -rf "$work"
      [ -n "${BENCH_DIR:-}" ] || rmdir "$root/bench-run" 2>/dev/null || true
    fi
  fi
}
install_traps
shopt -s nullglob
need_build
if [ -n "$base_build" ]; then
  base_build=$(cd "$base_build" && pwd) || fail "BASE_BUILD_DIR $BASE_BUILD_DIR is not a directory"
  build=$base_build need_build
fi
command -v timeout >/dev/null || fail "timeout (coreutils) not found"
command -v openssl >/dev/null || fail "openssl not found: it gives the hash's own cost"
clk_tck=$(getconf CLK_TCK)

secs_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.2f", a - b }'; }
per_gib() { awk -v c="$1" -v m="$size_mib" 'BEGIN { printf "%.3f", c * 1024 / m }'; }
limit_for() { echo $((60 + $1)); }

# ---- relays ---------------------------------------------------------------------

# start_relay <name> <settings text> <pem>=<source>...: a fresh relay of the
# current $build in relay-<name>/ (make_relay links the executable, so the
# directory must not hold the other build's).
start_relay() {
  local r=$1 dir="$work/relay-$1"
  rm -rf "$dir"
  make_relay "$dir" "$dir/root" "${@:2}"
  : >"$dir/relay.log"
  "$dir/tarnwick" 2>"$dir/relay.log" &
  relay_pid[$r]=$!
  wait_running "$dir/relay.log" "${relay_pid[$r]}" "relay $r"
}

alive() {
  local r
  for r in "$@"; do kill -0 "${relay_pid[$r]}" 2>/dev/null || fail "relay $r died"; done
}

cpu_of() { proc_cpu "${relay_pid[$1]}" || fail "relay $1 died"; }

stop_relay() {
  alive "$1"
  stop_relay_pid "relay_pid[$1]" "relay $1"
}

# A takes streams from the sender and forwards to B; B takes them from A.
start_chain() {
  local ports
  mapfile -t ports < <(free_ports 3)
  [ "${#ports[@]}" -eq 3 ] || fail "no free loopback ports"
  start_relay b "[Connection]
Host=
Port=${ports[2]}
PeerCN=relay-a
ThrottlingEnabled=0" cert.pem=relay-b.cert.pem key.pem=relay-b.key.pem clientcert.pem=relay-a.cert.pem
  start_relay a "[Connection]
Host=
Port=${ports[0]}
ClosurePort=${ports[1]}
PeerCN=sender
ThrottlingEnabled=0
[Forward]
Host=127.0.0.1
Port=${ports[2]}
PeerCN=relay-b" cert.pem=relay-a.cert.pem key.pem=relay-a.key.pem clientcert.pem=sender.cert.pem \
    forwardcert.pem=relay-b.cert.pem
  port_a=${ports[0]}
}

# timed_send <port> <repo> <file> <stderr file> <time file>: tarnwick-send
# exits 0 once A confirmed; "<elapsed> <user> <system>" goes to the time file.
timed_send() {
  local TIMEFORMAT='%R %U %S' rc=0
  { time timeout -k 5 "$(limit_for "$size_mib")" "$build/tarnwick-send" --quiet --host 127.0.0.1 \
    --port "$1" --repo "$2" --wait 300 --ca "$certs/relay-a.cert.pem" --peer-name relay-a \
    --cert "$certs/sender.cert.pem" --key "$certs/sender.key.pem" "$3" 2>>"$4"; } 2>"$5" || rc=$?
  return "$rc"
}

# complete_in <dir> <bytes>: true once dir holds one save of that size and
# no pending marker.
complete_in() {
  local f n=0
  for f in "$1"/*; do
    [[ $f == *_pending ]] && return 1
    n=$((n + 1))
  done
  [ "$n" -eq 1 ] && [ "$(stat -c %s "$1"/*)" -eq "$2" ]
}

# ---- one run --------------------------------------------------------------------

# Per build label: the per-run figures, space separated.
declare -A f_send=() f_a=() f_b=() f_secs=()

# measure <label> <build dir> <run>
measure() {
  local label=$1 i=$3 a0 b0 t0 secs rc deadline cpu_send cpu_a cpu_b f
  build=$2
  start_chain
  a0=$(cpu_of a)
  b0=$(cpu_of b)
  : >"$work/send.err"
  t0=$EPOCHREALTIME
  rc=0
  timed_send "$port_a" cost "$big" "$work/send.err" "$work/send.time" || rc=$?
  secs=$(secs_since "$t0")
  [ "$rc" -eq 0 ] || fail "tarnwick-send ($label) exited with $rc: $(tail -n 3 "$work/send.err")"
  cpu_send=$(awk 'END { printf "%.2f", $2 + $3 }' "$work/send.time")
  complete_in "$work/relay-a/root/saves/cost" "$big_bytes" || fail "A ($label) does not hold the save complete after its confirmation"

  deadline=$((SECONDS + $(limit_for "$size_mib")))
  until complete_in "$work/relay-b/root/saves/cost" "$big_bytes"; do
    ((SECONDS < deadline)) || fail "B ($label) does not hold the save complete after $(limit_for "$size_mib") s"
    alive a b
    sleep 0.05
  done
  # A is done with the save once B confirmed it and the record is gone.
  deadline=$((SECONDS + 10))
  while [ -n "$(find "$work/relay-a/root/forwards" -type f 2>/dev/null)" ]; do
    ((SECONDS < deadline)) || fail "A ($label) still holds a forwarding record 10 s after B completed the save"
    sleep 0.05
  done
  cpu_b=$(awk -v c="$(cpu_of b)" -v z="$b0" 'BEGIN { printf "%.2f", c - z }')
  stop_relay b
  cpu_a=$(awk -v c="$(cpu_of a)" -v z="$a0" 'BEGIN { printf "%.2f", c - z }')
  stop_relay a

  for f in "$work"/relay-a/root/saves/cost/* "$work"/relay-b/root/saves/cost/*; do
    cmp -s "$big" "$f" || fail "$label: ${f#"$work"/} differs from the input"
  done
  rm -rf "$work"/relay-a "$work"/relay-b

  f_send[$label]+="$(per_gib "$cpu_send") "
  f_a[$label]+="$(per_gib "$cpu_a") "
  f_b[$label]+="$(per_gib "$cpu_b") "
  f_secs[$label]+="$secs "
  printf '    run %d/%d  %-5s one hop %7s s %7s MiB/s   cpu send %6s s, A %6s s, B %6s s\n' \
    "$i" "$runs" "$label" "$secs" "$(rate "$size_mib" "$secs")" "$cpu_send" "$cpu_a" "$cpu_b"
}

# ---- main -----------------------------------------------------------------------

big_bytes=$((size_mib * 1048576))
fresh_work $((size_mib * 3 + 256))
mkdir -p "$work/in"
certs="$work/certs"
"$root/scripts/make-certs.sh" "$certs" relay-a relay-b sender >/dev/null || fail "make-certs.sh failed"

builds=(new)
[ -z "$base_build" ] || builds+=(base)
declare -A dir_of=([new]=$new_build [base]=$base_build)

load_start=$(uptime)
step "bench: CPU cost per GiB, ${size_mib} MiB, $runs runs per build alternated, $(nproc) CPUs; uptime:$load_start"
step "builds: new $new_build${base_build:+, base $base_build}; work directory on $(df -PT "$work" | awk 'NR == 2 { print $2 }')"

# The hash alone, before the relays: one core, nothing else of ours running.
step "openssl speed -seconds 3 sha256"
sha_k=$(openssl speed -seconds 3 sha256 2>/dev/null | awk '$1 == "sha256" { v = $NF; sub(/k$/, "", v); print v }')
[ -n "$sha_k" ] || fail "openssl speed printed no sha256 figure"
sha_gib=$(awk -v k="$sha_k" 'BEGIN { printf "%.3f", 1073741824 / (k * 1000) }')
printf '    16384-byte blocks: %.0f MB/s = %s CPU-s/GiB\n' "$(div "$sha_k" 1000)" "$sha_gib"

step "making the input (random bytes)"
big="$work/in/big.bin"
head -c "$big_bytes" /dev/urandom >"$big"
sync

step "runs: tarnwick-send -> A -> B on loopback"
for ((i = 1; i <= runs; i++)); do
  # Each build goes first every other run.
  order=("${builds[@]}")
  if ((i % 2 == 0)) && [ "${#builds[@]}" -eq 2 ]; then order=(base new); fi
  for b in "${order[@]}"; do measure "$b" "${dir_of[$b]}" "$i"; done
done
load_end=$(uptime)

# ---- the table ------------------------------------------------------------------

med() { read -ra v <<<"$1" && median "$2" "${v[@]}"; }
verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l) ? "MET" : "MISSED" }'; }
row() { printf '%-50s %16s %16s %9s %9s  %s\n' "$@"; }

declare -A m_secs=()
for b in "${builds[@]}"; do m_secs[$b]=$(med "${f_secs[$b]}" 3); done

step "table (${size_mib} MiB; medians of $runs alternated runs; at start:$load_start; at end:$load_end)"
row "figure" "new" "base" "new-base" "target" "verdict"
# cpu_row <label> <per-run figures by build> <target or -> [<short name>]:
# the added cost is also counted in passes of SHA-256 over the bytes.
passes=""
cpu_row() {
  local -n runs_of=$2
  local n b d
  n=$(med "${runs_of[new]}" 3)
  if [ -z "$base_build" ]; then
    row "$1" "$n" "-" "-" "-" "-"
    return
  fi
  b=$(med "${runs_of[base]}" 3)
  d=$(sub "$n" "$b")
  if [ "$3" = - ]; then
    row "$1" "$n" "$b" "$d" "-" "-"
  else
    row "$1" "$n" "$b" "$d" "<= +$3" "$(verdict "$d" "$3")"
    passes+="$4 $(div "$d" "$sha_gib")x "
  fi
}
cpu_row "tarnwick-send, CPU-s/GiB" f_send -
cpu_row "relay A (stores, forwards), CPU-s/GiB" f_a 0.7 A
cpu_row "relay B (stores), CPU-s/GiB" f_b 0.7 B
hop_new="${m_secs[new]} s, $(rate "$size_mib" "${m_secs[new]}")"
if [ -n "$base_build" ]; then
  read -ra sn <<<"${f_secs[new]}"
  read -ra sb <<<"${f_secs[base]}"
  ratios=()
  for ((i = 0; i < runs; i++)); do ratios+=("$(div "${sn[i]}" "${sb[i]}")"); done
  hop_ratio=$(median 3 "${ratios[@]}")
  row "one hop, send -> A confirmed (s, MiB/s)" "$hop_new" "${m_secs[base]} s, $(rate "$size_mib" "${m_secs[base]}")" \
    "${hop_ratio}x" "<= 1.15x" "$(verdict "$hop_ratio" 1.15)"
else
  row "one hop, send -> A confirmed (s, MiB/s)" "$hop_new" "-" "-" "-" "-"
fi
row "SHA-256 alone (openssl speed, 16 KiB), CPU-s/GiB" "$sha_gib" "-" "-" "-" "-"
if [ -n "$base_build" ]; then
  printf '    one-hop ratios new/base per run: %s\n' "${ratios[*]}"
  printf '    added CPU as passes of SHA-256 at the openssl figure: %s\n' "$passes"
fi
for b in "${builds[@]}"; do
  printf '    %-4s per run, CPU-s/GiB send: %s| A: %s| B: %s\n' "$b" "${f_send[$b]}" "${f_a[$b]}" "${f_b[$b]}"
done

ok=1
